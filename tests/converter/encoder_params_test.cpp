#include "converter/pipeline/encoder_params.h"

#include <gtest/gtest.h>

namespace vidmill {
namespace {

const AVCodec* encoder(const char* name) {
    const AVCodec* codec = avcodec_find_encoder_by_name(name);
    EXPECT_NE(codec, nullptr) << name;
    return codec;
}

TEST(EncoderParams, MpegVideoMovesToTheFirstStandardRateAtOrAboveIt) {
    const AVCodec* mpeg1 = encoder("mpeg1video");
    EXPECT_EQ(av_cmp_q(nearestFrameRate({29975, 1001}, mpeg1), AVRational{30000, 1001}), 0);
    EXPECT_EQ(av_cmp_q(nearestFrameRate({20000, 1001}, mpeg1), AVRational{24000, 1001}), 0);
    EXPECT_EQ(av_cmp_q(nearestFrameRate({25000, 1001}, mpeg1), AVRational{25, 1}), 0);
    // The encoder's own list holds rates that it then refuses (15, 12).
    EXPECT_EQ(av_cmp_q(nearestFrameRate({15, 1}, mpeg1), AVRational{24000, 1001}), 0);
    EXPECT_EQ(av_cmp_q(nearestFrameRate({26, 1}, mpeg1), AVRational{30000, 1001}), 0);
    EXPECT_EQ(av_cmp_q(nearestFrameRate({120, 1}, mpeg1), AVRational{60, 1}), 0);
    // MPEG-2 keeps to the same standard rates, for DVD and set-top players.
    const AVCodec* mpeg2 = encoder("mpeg2video");
    EXPECT_EQ(av_cmp_q(nearestFrameRate({20000, 1001}, mpeg2), AVRational{24000, 1001}), 0);
    EXPECT_EQ(av_cmp_q(nearestFrameRate({14984, 1001}, mpeg2), AVRational{24000, 1001}), 0);
    // Encoders that take any rate keep the requested one.
    EXPECT_EQ(av_cmp_q(nearestFrameRate({29975, 1001}, encoder("mpeg4")), AVRational{29975, 1001}),
              0);
}

TEST(EncoderParams, RatesNearAnNtscRateAreTakenAsIt) {
    const struct {
        AVRational wanted;
        AVRational taken;
    } cases[] = {
        {{29975, 1001}, {30000, 1001}}, {{23975, 1001}, {24000, 1001}},
        {{14984, 1001}, {15000, 1001}}, {{59900, 1001}, {60000, 1001}},
        {{25000, 1001}, {25000, 1001}},                      // 24.975 is near none of them
        {{20000, 1001}, {20000, 1001}}, {{30, 1}, {30, 1}},  // a whole rate is meant as it is
        {{29900, 1001}, {29900, 1001}},                      // 0.33 % off
    };
    for (const auto& c : cases) {
        EXPECT_EQ(av_cmp_q(snapToStandardRate(c.wanted), c.taken), 0)
            << c.wanted.num << "/" << c.wanted.den;
    }
}

TEST(EncoderParams, RatesFitASixteenBitTimeBase) {
    const AVRational rate = nearestFrameRate({2997003, 100000}, encoder("mpeg4"));
    EXPECT_LE(rate.num, 65535);
    EXPECT_LE(rate.den, 65535);
    EXPECT_NEAR(av_q2d(rate), 29.97003, 0.001);
}

TEST(EncoderParams, PrefersFourTwoZeroPixels) {
    EXPECT_EQ(choosePixelFormat(encoder("libx264"), AV_PIX_FMT_YUV422P), AV_PIX_FMT_YUV420P);
    EXPECT_EQ(choosePixelFormat(encoder("mpeg4"), AV_PIX_FMT_RGB24), AV_PIX_FMT_YUV420P);
    EXPECT_EQ(choosePixelFormat(encoder("mjpeg"), AV_PIX_FMT_YUV420P), AV_PIX_FMT_YUVJ420P);
}

TEST(EncoderParams, SourceSizesAreMadeEvenForSubsampledChroma) {
    const PictureSize odd = outputFrameSize(std::nullopt, 641, 479, AV_PIX_FMT_YUV420P);
    EXPECT_EQ(odd.width, 640);
    EXPECT_EQ(odd.height, 478);
    const PictureSize asked = outputFrameSize(PictureSize{368, 208}, 641, 479, AV_PIX_FMT_YUV420P);
    EXPECT_EQ(asked.width, 368);
    EXPECT_EQ(asked.height, 208);
    const PictureSize oddAsked = outputFrameSize(PictureSize{321, 1}, 640, 480, AV_PIX_FMT_YUV420P);
    EXPECT_EQ(oddAsked.width, 320);
    EXPECT_EQ(oddAsked.height, 2);
    // Formats without subsampling take any size.
    const PictureSize full = outputFrameSize(std::nullopt, 641, 479, AV_PIX_FMT_YUV444P);
    EXPECT_EQ(full.width, 641);
    EXPECT_EQ(full.height, 479);
}

TEST(EncoderParams, SampleAspectGivesTheDisplayAspect) {
    const AVRational sar = sampleAspectFor(Ratio{16, 9}, 640, 480);
    EXPECT_EQ(av_cmp_q(sar, AVRational{4, 3}), 0);
    EXPECT_EQ(av_cmp_q(sampleAspectFor(Ratio{4, 3}, 640, 480), AVRational{1, 1}), 0);
}

TEST(EncoderParams, SampleRatesFollowEncoderAndContainer) {
    const AVCodec* ac3 = encoder("ac3");
    EXPECT_FALSE(sampleRateAccepted(8000, ac3, {}));
    EXPECT_TRUE(sampleRateAccepted(44100, ac3, {}));
    EXPECT_EQ(nearestSampleRate(22050, ac3, {}), 32000);
    EXPECT_EQ(nearestSampleRate(96000, ac3, {}), 48000);

    const AVOutputFormat* flv = av_guess_format("flv", nullptr, nullptr);
    const std::vector<int> flvRates = containerSampleRates(flv, AV_CODEC_ID_MP3);
    const AVCodec* lame = encoder("libmp3lame");
    EXPECT_FALSE(sampleRateAccepted(8000, lame, flvRates));
    EXPECT_TRUE(sampleRateAccepted(22050, lame, flvRates));
    EXPECT_EQ(nearestSampleRate(8000, lame, flvRates), 11025);
    EXPECT_TRUE(
        containerSampleRates(av_guess_format("mp4", nullptr, nullptr), AV_CODEC_ID_AAC).empty());
}

TEST(EncoderParams, ChannelLayoutsFollowTheEncoder) {
    const AVCodec* lame = encoder("libmp3lame");
    EXPECT_TRUE(channelCountAccepted(1, lame));
    EXPECT_FALSE(channelCountAccepted(6, lame));

    AVChannelLayout surround = AV_CHANNEL_LAYOUT_5POINT1;
    AVChannelLayout chosen{};
    chooseChannelLayout(lame, surround, std::nullopt, &chosen);
    EXPECT_EQ(chosen.nb_channels, 2);
    av_channel_layout_uninit(&chosen);

    AVChannelLayout stereo = AV_CHANNEL_LAYOUT_STEREO;
    chooseChannelLayout(lame, stereo, 1, &chosen);
    EXPECT_EQ(chosen.nb_channels, 1);
    av_channel_layout_uninit(&chosen);

    chooseChannelLayout(encoder("aac"), surround, std::nullopt, &chosen);
    EXPECT_EQ(av_channel_layout_compare(&chosen, &surround), 0);
    av_channel_layout_uninit(&chosen);
}

TEST(EncoderParams, SampleFormatsStayCloseToTheSource) {
    EXPECT_EQ(chooseSampleFormat(encoder("pcm_s16le"), AV_SAMPLE_FMT_FLTP), AV_SAMPLE_FMT_S16);
    EXPECT_EQ(chooseSampleFormat(encoder("aac"), AV_SAMPLE_FMT_S16), AV_SAMPLE_FMT_FLTP);
    EXPECT_EQ(chooseSampleFormat(encoder("libmp3lame"), AV_SAMPLE_FMT_S16), AV_SAMPLE_FMT_S16P);
}

TEST(EncoderParams, ConstantQualityStaysOnTheEncodersScale) {
    // x264 and x265 end at 51, SVT-AV1 and VP9 at 63.
    EXPECT_EQ(constantQualityFor("libx265", 63)->value, "51");
    EXPECT_EQ(constantQualityFor("libx264", 23)->value, "23");
    EXPECT_EQ(constantQualityFor("libsvtav1", 63)->value, "63");
    EXPECT_EQ(constantQualityFor("libvpx-vp9", 33)->name, "crf");
    EXPECT_FALSE(constantQualityFor("mpeg4", 20));
    EXPECT_FALSE(constantQualityFor("libvpx", 20));  // VP8 knows CRF only under a bitrate
}

}  // namespace
}  // namespace vidmill
