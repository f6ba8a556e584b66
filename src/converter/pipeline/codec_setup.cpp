#include "converter/pipeline/codec_setup.h"

#include <algorithm>
#include <string>

extern "C" {
#include <libavutil/cpu.h>
}

#include "converter/convert_error.h"
#include "converter/pipeline/encoder_params.h"
#include "converter/process_guard.h"

namespace vidmill {

// Threads for each decoder and encoder. Alone, a conversion lets libavcodec
// take every core (0), as the ffmpeg tool does; several at once each take
// their share, for threads beyond the cores only add switching, and a
// frame-threaded codec holds a frame in flight for each of them.
int codecThreads() {
    static const int threads = [] {
        const int atOnce = conversionsAtOnce();
        return atOnce <= 1 ? 0 : std::max(1, av_cpu_count() / atOnce);
    }();
    return threads;
}

namespace {

// The same share for encoders that size their own pools: alone, every core.
int encoderThreadShare() {
    const int threads = codecThreads();
    return threads > 0 ? threads : std::max(1, av_cpu_count());
}

}  // namespace

const AVCodec* findEncoder(const std::string& requested, AVMediaType type, AVCodecID fallback) {
    const char* kind = type == AVMEDIA_TYPE_VIDEO ? "video" : "audio";
    const AVCodec* codec = nullptr;
    std::string name;
    if (requested.empty()) {
        codec = avcodec_find_encoder(fallback);
        name = avcodec_get_name(fallback);
    } else {
        name = encoderNameFor(requested);
        codec = avcodec_find_encoder_by_name(name.c_str());
        if (codec == nullptr) {
            // A codec's name rather than an encoder's, e.g. "h264".
            if (const AVCodecDescriptor* descriptor =
                    avcodec_descriptor_get_by_name(name.c_str())) {
                codec = avcodec_find_encoder(descriptor->id);
            }
        }
    }
    if (codec == nullptr || codec->type != type) {
        throw ConvertError(
            exit_code::kEncoderFailed,
            std::string("the ") + kind + " encoder '" + name + "' is not available in this build");
    }
    return codec;
}

DictionaryPtr encoderOptions(const AVCodec* codec) {
    AVDictionary* options = nullptr;
    for (const EncoderOption& option : encoderTuning(codec->name, encoderThreadShare())) {
        av_dict_set(&options, option.name.c_str(), option.value.c_str(), 0);
    }
    return DictionaryPtr(options);
}

}  // namespace vidmill
