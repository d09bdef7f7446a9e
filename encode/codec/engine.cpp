// The codec runtime's engine configuration "encode" and its codec table, kept as data. Handles are
// per thread (video, audio and control threads each open one); the table is constant.
#include "encode/codec/engine.h"

#include <cstring>
#include <new>

#include "encode/media/media.h"

namespace {
constexpr const char *mp3Extensions[] = {".mp3", nullptr};
constexpr const char *aacExtensions[] = {".aac", nullptr};
constexpr const char *mpeg4Extensions[] = {".mpeg4", ".m4v", nullptr};
constexpr const char *h264Extensions[] = {".264", nullptr};
constexpr const char *mpeg2Extensions[] = {".mpeg2", ".m2v", nullptr};

constexpr CodecEntry speechCodecs[] = {
    {"mp3enc", "MP3 Encoder", mp3Extensions, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
constexpr CodecEntry audioCodecs[] = {
    {"aacenc", "AACLC Encoder", aacExtensions, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
constexpr CodecEntry videoCodecs[] = {
    {"mpeg4enc", "MPEG4 Video", mpeg4Extensions, nullptr, nullptr},
    {"h264enc", "H.264 HP", h264Extensions, nullptr, nullptr},
    {"mpeg2enc", "MPEG2", mpeg2Extensions, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

struct EngineConfig {
    const char *name;
    const CodecEntry *lists[3]; // indexed by EngineList
};

constexpr EngineConfig configs[] = {
    {"encode", {speechCodecs, audioCodecs, videoCodecs}},
};

const EngineConfig *findConfig(const char *name)
{
    for (const EngineConfig &config : configs) {
        if (std::strcmp(config.name, name) == 0) {
            return &config;
        }
    }
    return nullptr;
}

void setError(Engine_Error *ec, Engine_Error value)
{
    if (ec != nullptr) {
        *ec = value;
    }
}
} // namespace

struct Engine_Object {
    const EngineConfig *config;
};

const Engine_Attrs Engine_Attrs_DEFAULT = {0};

Engine_Handle Engine_open(const char *name, const Engine_Attrs *attrs, Engine_Error *ec)
{
    (void)attrs;
    if (name == nullptr) {
        setError(ec, Engine_EINVAL);
        return nullptr;
    }
    const EngineConfig *config = findConfig(name);
    if (config == nullptr) {
        setError(ec, Engine_ENOTFOUND);
        return nullptr;
    }
    Engine_Object *engine = new (std::nothrow) Engine_Object{config};
    if (engine == nullptr) {
        setError(ec, Engine_ENOMEM);
        return nullptr;
    }
    setError(ec, Engine_EOK);
    return engine;
}

void Engine_close(Engine_Handle hEngine)
{
    delete hEngine;
}

const char *Engine_getName(Engine_Handle hEngine)
{
    MEDIA_ASSERT(hEngine != nullptr);
    return hEngine->config->name;
}

const CodecEntry *Engine_getCodec(Engine_Handle hEngine, const char *codecName)
{
    MEDIA_ASSERT(hEngine != nullptr);
    if (codecName == nullptr) {
        return nullptr;
    }
    for (const CodecEntry *list : hEngine->config->lists) {
        for (const CodecEntry *entry = list; entry->name != nullptr; entry++) {
            if (std::strcmp(entry->name, codecName) == 0) {
                return entry;
            }
        }
    }
    return nullptr;
}

const CodecEntry *Engine_getCodecList(EngineList list)
{
    int index = static_cast<int>(list);
    if (index < 0 || index > 2) {
        return nullptr;
    }
    return configs[0].lists[index];
}

int Engine_lookupCodec(EngineList list, const char *fileName, const CodecEntry **entry)
{
    if (entry != nullptr) {
        *entry = nullptr;
    }
    const char *extension = fileName != nullptr ? std::strrchr(fileName, '.') : nullptr;
    if (extension == nullptr) {
        return Engine_FIND_NOEXTENSION;
    }
    const CodecEntry *codecs = Engine_getCodecList(list);
    if (codecs == nullptr) {
        return Engine_FIND_NOMATCH;
    }
    const CodecEntry *found = nullptr;
    for (const CodecEntry *codec = codecs; codec->name != nullptr; codec++) {
        for (const char *const *ext = codec->fileExtensions; *ext != nullptr; ext++) {
            if (std::strcmp(extension, *ext) == 0) {
                found = codec;
            }
        }
    }
    if (found == nullptr) {
        return Engine_FIND_NOMATCH;
    }
    if (entry != nullptr) {
        *entry = found;
    }
    return Engine_FIND_OK;
}

const CodecEntry *Engine_findCodec(EngineList list, const char *fileName)
{
    const CodecEntry *entry = nullptr;
    Engine_lookupCodec(list, fileName, &entry);
    return entry;
}
