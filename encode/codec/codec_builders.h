// What the codec runtime's two front ends (video and audio) share: the table of the encoders this
// build makes and the steps of creating one from a codec name. Each front end gives its own tag and
// wording for the messages and its own error bits; an exception inside an encoder's constructor
// becomes the out-of-memory code, never a throw across the front end.
#pragma once

#include "encode/codec/engine.h"
#include "encode/media/media.h"

#include <cstddef>
#include <cstring>
#include <memory>

template <typename Encoder, typename Params>
struct CodecBuilder {
    const char *name;
    std::unique_ptr<Encoder> (*open)(const Params *params, int *reason);
};

struct CodecFront {
    const char *tag;    // "VideoEnc", "AudioEnc"
    const char *what;   // how the messages name an encoder of this kind
    int badParams;      // the front end's error bits
    int unknownCodec;
    int noMem;
};

inline void Codec_setError(int *error, int value)
{
    if (error != nullptr) {
        *error = value;
    }
}

// The encoder `name` stands for, opened with `params`; null with the reason in *error (and its
// message printed) when the arguments, the engine or the table refuse it or the encoder cannot open.
template <typename Encoder, typename Params, size_t N>
std::unique_ptr<Encoder> Codec_build(const CodecFront &front, const CodecBuilder<Encoder, Params> (&table)[N],
                                     Engine_Handle hEngine, const char *name, const Params *params, int *error)
{
    Codec_setError(error, 0);
    if (hEngine == nullptr || name == nullptr || params == nullptr) {
        Media_error("[%s] Cannot pass null for engine, codec name or params\n", front.tag);
        Codec_setError(error, front.badParams);
        return nullptr;
    }
    if (Engine_getCodec(hEngine, name) == nullptr) {
        Media_error("[%s] Codec %s is not in engine %s\n", front.tag, name, Engine_getName(hEngine));
        Codec_setError(error, front.unknownCodec);
        return nullptr;
    }
    const CodecBuilder<Encoder, Params> *built = nullptr;
    for (const auto &b : table) {
        built = built == nullptr && std::strcmp(b.name, name) == 0 ? &b : built;
    }
    if (built == nullptr) {
        Media_error("[%s] No %s is built for codec %s\n", front.tag, front.what, name);
        Codec_setError(error, front.unknownCodec);
        return nullptr;
    }
    try {
        int reason = 0;
        std::unique_ptr<Encoder> encoder = built->open(params, &reason);
        Codec_setError(error, encoder == nullptr ? reason : 0);
        return encoder;
    } catch (...) {
        Media_error("[%s] Out of memory creating %s\n", front.tag, name);
        Codec_setError(error, front.noMem);
        return nullptr;
    }
}
