// The codec runtime's engine: a configuration, opened by name, that says which codecs exist. The
// one configuration of this system is "encode", with three codec lists (speech, audio, video). The
// encoders themselves are created by their runtime names ("h264enc", "aacenc", "mp3enc") through the
// encoder wrappers, which ask the engine whether it carries the codec.
//
// Each thread opens its own engine handle; handles are independent and the table is read-only, so
// no locking is needed.
#pragma once

typedef struct Engine_Object *Engine_Handle;

// Name of the codec runtime configuration every stage opens.
inline constexpr char ENGINE_NAME[] = "encode";

// One codec of a list. The extension list ends with a null entry. Static and dynamic parameters are
// null throughout the table: the stage threads use their own defaults.
typedef struct CodecEntry {
    const char *name;              // runtime name, e.g. "h264enc"
    const char *displayName;       // e.g. "H.264 HP"
    const char *const *fileExtensions;
    const void *params;
    const void *dynParams;
} CodecEntry;

typedef enum EngineList : int {
    Engine_List_SPEECH = 0,
    Engine_List_AUDIO = 1,
    Engine_List_VIDEO = 2,
} EngineList;

typedef enum Engine_Error : int {
    Engine_EOK = 0,
    Engine_ENOTFOUND = 1, // no configuration of that name
    Engine_ENOMEM = 2,
    Engine_EINVAL = 3, // null name
} Engine_Error;

typedef struct Engine_Attrs {
    int reserved;
} Engine_Attrs;

extern const Engine_Attrs Engine_Attrs_DEFAULT;

// Opens the configuration `name` ("encode"). attrs and ec may be null. Null on failure, the reason in
// *ec.
Engine_Handle Engine_open(const char *name, const Engine_Attrs *attrs, Engine_Error *ec);
// Null is accepted.
void Engine_close(Engine_Handle hEngine);
// The configuration name the handle was opened with.
const char *Engine_getName(Engine_Handle hEngine);
// The entry of the codec with runtime name `codecName` in any list, or null.
const CodecEntry *Engine_getCodec(Engine_Handle hEngine, const char *codecName);

// The codecs of a list of the "encode" configuration, ended by an entry with a null name.
const CodecEntry *Engine_getCodecList(EngineList list);

// The codec of `list` whose extension equals the file name's (from its last '.'): every extension of
// every entry is compared and the last match wins. Null when nothing matches or the name has no '.'.
const CodecEntry *Engine_findCodec(EngineList list, const char *fileName);

enum {
    Engine_FIND_OK = 0,
    Engine_FIND_NOEXTENSION = -1, // null name, or no '.' in it
    Engine_FIND_NOMATCH = -2,     // an extension no entry of the list carries
};
// The same search telling the two failures apart; *entry is set (null on failure) when not null.
int Engine_lookupCodec(EngineList list, const char *fileName, const CodecEntry **entry);
