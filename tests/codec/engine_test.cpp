// The "encode" engine configuration and the codec search by file extension.
#include <gtest/gtest.h>

#include <string>

#include "encode/codec/engine.h"

TEST(Engine, OpensOnlyTheEncodeConfiguration)
{
    Engine_Error ec = Engine_ENOMEM;
    Engine_Handle engine = Engine_open("encode", &Engine_Attrs_DEFAULT, &ec);
    ASSERT_NE(engine, nullptr);
    EXPECT_EQ(ec, Engine_EOK);
    EXPECT_STREQ(Engine_getName(engine), "encode");
    // Two threads hold handles of their own at once.
    Engine_Handle other = Engine_open("encode", nullptr, nullptr);
    ASSERT_NE(other, nullptr);
    EXPECT_NE(other, engine);
    Engine_close(other);

    ASSERT_NE(Engine_getCodec(engine, "h264enc"), nullptr);
    EXPECT_STREQ(Engine_getCodec(engine, "h264enc")->displayName, "H.264 HP");
    EXPECT_STREQ(Engine_getCodec(engine, "aacenc")->displayName, "AACLC Encoder");
    EXPECT_STREQ(Engine_getCodec(engine, "mp3enc")->displayName, "MP3 Encoder");
    EXPECT_EQ(Engine_getCodec(engine, "h263enc"), nullptr);
    EXPECT_EQ(Engine_getCodec(engine, nullptr), nullptr);
    Engine_close(engine);
    Engine_close(nullptr);

    EXPECT_EQ(Engine_open("decode", nullptr, &ec), nullptr);
    EXPECT_EQ(ec, Engine_ENOTFOUND);
    EXPECT_EQ(Engine_open("", nullptr, &ec), nullptr);
    EXPECT_EQ(Engine_open("encode ", nullptr, &ec), nullptr);
    EXPECT_EQ(Engine_open(nullptr, nullptr, &ec), nullptr);
    EXPECT_EQ(ec, Engine_EINVAL);
}

TEST(Engine, ListsHoldTheTable)
{
    struct Row {
        EngineList list;
        const char *name;
        const char *display;
        std::string extensions;
    };
    const Row rows[] = {
        {Engine_List_SPEECH, "mp3enc", "MP3 Encoder", ".mp3"},
        {Engine_List_AUDIO, "aacenc", "AACLC Encoder", ".aac"},
        {Engine_List_VIDEO, "mpeg4enc", "MPEG4 Video", ".mpeg4 .m4v"},
        {Engine_List_VIDEO, "h264enc", "H.264 HP", ".264"},
        {Engine_List_VIDEO, "mpeg2enc", "MPEG2", ".mpeg2 .m2v"},
    };
    size_t row = 0;
    for (EngineList list : {Engine_List_SPEECH, Engine_List_AUDIO, Engine_List_VIDEO}) {
        for (const CodecEntry *e = Engine_getCodecList(list); e->name != nullptr; e++, row++) {
            ASSERT_LT(row, std::size(rows));
            EXPECT_EQ(rows[row].list, list);
            EXPECT_STREQ(e->name, rows[row].name);
            EXPECT_STREQ(e->displayName, rows[row].display);
            std::string exts;
            for (const char *const *x = e->fileExtensions; *x != nullptr; x++) {
                exts += (exts.empty() ? "" : " ") + std::string(*x);
            }
            EXPECT_EQ(exts, rows[row].extensions);
            EXPECT_EQ(e->params, nullptr);
            EXPECT_EQ(e->dynParams, nullptr);
        }
    }
    EXPECT_EQ(row, std::size(rows));
}

TEST(Engine, FindsCodecByLastExtension)
{
    struct Case {
        EngineList list;
        const char *file;
        const char *codec; // null: no match
    };
    const Case cases[] = {
        {Engine_List_VIDEO, "/tmp/video.264", "h264enc"},
        {Engine_List_VIDEO, "a.m4v", "mpeg4enc"},
        {Engine_List_VIDEO, "a.mpeg4", "mpeg4enc"},
        {Engine_List_VIDEO, "a.m2v", "mpeg2enc"},
        {Engine_List_VIDEO, "clip.m4v.264", "h264enc"}, // from the last '.'
        {Engine_List_VIDEO, ".264", "h264enc"},
        {Engine_List_AUDIO, "a.aac", "aacenc"},
        {Engine_List_SPEECH, "s.mp3", "mp3enc"},
        // Each list knows only its own codecs.
        {Engine_List_AUDIO, "a.mp3", nullptr},
        {Engine_List_SPEECH, "a.aac", nullptr},
        {Engine_List_VIDEO, "a.aac", nullptr},
        {Engine_List_VIDEO, "a.264.bak", nullptr},
        {Engine_List_VIDEO, "a.H264", nullptr},
        {Engine_List_VIDEO, "a.", nullptr},
    };
    for (const Case &c : cases) {
        const CodecEntry *entry = Engine_findCodec(c.list, c.file);
        if (c.codec == nullptr) {
            EXPECT_EQ(entry, nullptr) << c.file;
            EXPECT_EQ(Engine_lookupCodec(c.list, c.file, nullptr), Engine_FIND_NOMATCH) << c.file;
        } else {
            ASSERT_NE(entry, nullptr) << c.file;
            EXPECT_STREQ(entry->name, c.codec) << c.file;
            EXPECT_EQ(Engine_lookupCodec(c.list, c.file, nullptr), Engine_FIND_OK);
        }
    }
}

TEST(Engine, MissingExtensionIsToldApart)
{
    const CodecEntry *entry = Engine_getCodecList(Engine_List_VIDEO);
    EXPECT_EQ(Engine_lookupCodec(Engine_List_VIDEO, "video", &entry), Engine_FIND_NOEXTENSION);
    EXPECT_EQ(entry, nullptr);
    EXPECT_EQ(Engine_lookupCodec(Engine_List_VIDEO, "", &entry), Engine_FIND_NOEXTENSION);
    EXPECT_EQ(Engine_lookupCodec(Engine_List_VIDEO, nullptr, &entry), Engine_FIND_NOEXTENSION);
    EXPECT_EQ(Engine_findCodec(Engine_List_VIDEO, "video"), nullptr);
    EXPECT_EQ(Engine_lookupCodec(Engine_List_VIDEO, "x.txt", &entry), Engine_FIND_NOMATCH);
}
