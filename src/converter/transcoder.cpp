#include "converter/transcoder.h"

#include "converter/process_guard.h"

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "converter/conversion_stop.h"
#include "converter/convert_error.h"
#include "converter/input/media_input.h"
#include "converter/input/silence_source.h"
#include "converter/output/output_file.h"
#include "converter/output/source_description.h"
#include "converter/pipeline/encoder_params.h"
#include "converter/pipeline/picture_survey.h"
#include "converter/pipeline/stream_pipeline.h"
#include "converter/pipeline/subtitle_track.h"
#include "converter/pipeline/timestamp_guard.h"
#include "process/pass_folder.h"
#include "process/size_budget.h"

namespace vidmill {

namespace {

// "0:05.7", "1:02:03.4" with tenths; "0:12" without.
std::string clockText(double seconds, bool tenths) {
    const long long scaled = std::llround(std::max(seconds, 0.0) * (tenths ? 10 : 1));
    const long long whole = tenths ? scaled / 10 : scaled;
    char text[48];
    const int hours = int(whole / 3600);
    const int minutes = int(whole / 60 % 60);
    const int secs = int(whole % 60);
    if (hours > 0) {
        std::snprintf(text, sizeof text, "%d:%02d:%02d", hours, minutes, secs);
    } else {
        std::snprintf(text, sizeof text, "%d:%02d", minutes, secs);
    }
    std::string result = text;
    if (tenths) {
        result += "." + std::to_string(scaled % 10);
    }
    return result;
}

// "0:06", "0:03.01", "0:00.001": a time of a cut, to the millisecond it was
// given in.
std::string cutTimeText(double seconds) {
    const long long ms = std::llround(std::max(seconds, 0.0) * 1000);
    std::string text = clockText(double(ms / 1000), false);
    if (ms % 1000 != 0) {
        std::string fraction = std::to_string(1000 + ms % 1000).substr(1);
        fraction.erase(fraction.find_last_not_of('0') + 1);
        text += "." + fraction;
    }
    return text;
}

// A file that holds less than its header declares converts whole, but the
// user should hear of it: the converted file is shorter than the length the
// list showed. A second or a twentieth of the length is within the usual
// slack of headers.
void noteShortInput(double declared, double written) {
    if (declared <= 0 || written <= 0 || written + std::max(1.0, declared * 0.05) >= declared) {
        return;
    }
    std::fprintf(stderr,
                 "vidmill-convert: note: the input ends at %s of the %s its header declares\n",
                 clockText(written, true).c_str(), clockText(declared, false).c_str());
}

// Nothing when a stop came first.
std::optional<MediaInput> openInput(
    const ConverterOptions& options, ProgressReporter& progress, const ConversionStop& stop,
    MediaInput::Examination examination = MediaInput::Examination::Full) {
    std::optional<MediaInput> input =
        MediaInput::open(options.inputPath, stop, examination, options.inputFd);
    if (input) {
        progress.setDuration(input->durationSeconds());
    }
    return input;
}

// The exit code of a run stopped before anything began.
int stoppedBeforeStart(const ConversionStop& stop) {
    return stop.bySignalAlone() ? exit_code::kInterrupted : exit_code::kSuccess;
}

// Writing over the input would destroy the very file being read.
void refuseOverwritingInput(const MediaInput& input, const OutputFile& output) {
    struct stat in {};
    struct stat out {};
    if (::fstat(input.source().descriptor(), &in) == 0 &&
        ::stat(output.openPath().c_str(), &out) == 0 && in.st_dev == out.st_dev &&
        in.st_ino == out.st_ino) {
        throw ConvertError(exit_code::kOutputFailed,
                           "the output '" + output.path() + "' is the input itself");
    }
}

ConvertError interrupted() {
    return ConvertError(exit_code::kInterrupted,
                        "stopped by a signal; the unfinished output was removed");
}

bool convertsVideo(const ConverterOptions& options, const MediaInput& input,
                   const AVOutputFormat* format) {
    return input.videoStream() >= 0 && !options.noVideo && format->video_codec != AV_CODEC_ID_NONE;
}

// The encoder that makes the output's video; empty when it has none.
std::string videoEncoderFor(const ConverterOptions& options, const MediaInput& input) {
    // Only looked at: nothing is made on the disk.
    const OutputFile shape(*options.outputPath, options.container);
    return convertsVideo(options, input, shape.format()) ? videoEncoderName(options, shape.format())
                                                         : std::string();
}

// What a container adds to its streams: a share of the file, and the
// bytes that each packet costs in headers and indexes.
struct ContainerCost {
    double share;
    double bytesPerPacket;
};

ContainerCost containerCostOf(const AVOutputFormat* format) {
    const std::string name = format->name;
    // Transport streams cut everything into 188-byte packets with headers of
    // their own; program streams pack it with their own headers too.
    if (name == "mpegts") {
        return {0.06, 20};
    }
    if (name.find("mpeg") != std::string::npos || name == "vob" || name == "svcd" ||
        name == "dvd" || name == "vcd") {
        return {0.025, 20};
    }
    if (name == "asf" || name == "asf_stream") {
        return {0.02, 24};
    }
    if (name == "avi") {
        return {0.002, 26};
    }
    return {0.002, 16};
}

class Conversion final : public PipelineWatch {
  public:
    // `passes`, when given, names the pass of the video's encode that this
    // conversion runs: a first pass reads the input for the encoder alone
    // and writes nothing.
    Conversion(const ConverterOptions& options, ProgressReporter& progress, ConversionStop& stop,
               MediaInput input, PassPlan* passes = nullptr)
        : options_(options),
          progress_(progress),
          stop_(stop),
          input_(std::move(input)),
          output_(*options.outputPath, options.container, options.outputFd),
          timestamps_(input_.context(), input_.durationSeconds()),
          passes_(passes) {}

    // True when a stop request ended it early.
    bool run() {
        refuseOverwritingInput(input_, output_);
        if (options_.cuts()) {
            checkCut();
        }
        if (firstPass()) {
            return runFirstPass();
        }
        setUpStreams();
        keepSourceDescription(input_.context(), output_.context(),
                              input_.startTime() + std::llround(options_.cutFrom * AV_TIME_BASE),
                              outputSeconds());
        output_.create(options_.overwrite);
        const int header = output_.writeHeader();
        if (header < 0) {
            const bool audioAsked = hasAudio_ && options_.audioOptionsRequested();
            throw ConvertError(audioAsked ? exit_code::kAudioRefused : exit_code::kOutputFailed,
                               describeFailure("the container refused the streams", header));
        }
        seekToCut();
        bool stopped = pump();
        // A shorter file is what the engine asks for with the stop byte; one
        // cut short by a signal (a closed terminal, the death of the program
        // that started us) must not pass for a finished one, so there is no
        // point in finishing it: the output's destructor removes it.
        if (stop_.bySignalAlone()) {
            throw interrupted();
        }
        if (stopped) {
            // What the decoders and the filters already hold still goes into
            // the shorter file, unless it is a flood of copies.
            stop_.beginDrain();
        }
        finishStreams();
        if (stop_.bySignalAlone()) {
            throw interrupted();
        }
        output_.close();
        progress_.finish(output_.writtenSeconds(), output_.bytesWritten());
        stopped = stopped || stop_.asked();  // the drain may have been cut short
        if (stop_.bySignalAlone()) {
            output_.remove();
            throw interrupted();
        }
        if (!stopped && framesEncoded() == 0) {
            // close() kept the file; a run that made nothing must not look finished.
            output_.remove();
            throw madeNothing();
        }
        if (!stopped) {
            noteShortInput(outputSeconds(), output_.writtenSeconds());
            refuseOversizedFile();
        }
        return stopped;
    }

    const MediaInput& input() const { return input_; }

    // How far the run has come: what the output holds, or in a first pass
    // (some encoders give nothing before their end) what was decoded.
    double doneSeconds() const {
        if (!firstPass()) {
            return output_.writtenSeconds();
        }
        double end = 0.0;
        for (const auto& pipeline : pipelines_) {
            end = std::max(end, pipeline->decodedEndSeconds());
        }
        return end;
    }

    // Asked before every frame; also the moment to report progress, as one
    // packet can make thousands of frames.
    bool stopNow() const override {
        progress_.update(doneSeconds(), output_.bytesWritten());
        return stop_.stopNow();
    }

    double outputLimitSeconds() const override { return timestamps_.outputLimitSeconds(); }

    double contentLimitSeconds() const override {
        double sound = 0.0;
        std::int64_t pictures = 0;
        for (const auto& pipeline : pipelines_) {
            sound = std::max(sound, pipeline->soundDecodedSeconds());
            pictures += pipeline->picturesDecoded();
        }
        return vidmill::contentLimitSeconds(sound, pictures);
    }

    double soundEndSeconds() const override {
        double end = 0.0;
        for (const auto& pipeline : pipelines_) {
            if (pipeline->soundDecodedSeconds() > 0.0) {
                end = std::max(end, pipeline->decodedEndSeconds());
            }
        }
        return end;
    }

  private:
    // An encoder at the end of its scale (libvpx at its largest quantiser)
    // spends more than it was given: a file that does not fit is of no use
    // to whoever asked for the size, and is not kept as if it did.
    void refuseOversizedFile() {
        if (!options_.targetSize || passes_ == nullptr || passes_->pass != EncodePass::Second) {
            return;
        }
        const std::int64_t made = output_.bytesWritten();
        if (made * 100 <= *options_.targetSize * 101) {
            return;
        }
        output_.remove();
        throw ConvertError(exit_code::kEncoderFailed, videoEncoderName(options_, output_.format()) +
                                                          " cannot make this video as small as " +
                                                          sizeText(*options_.targetSize) +
                                                          ": it came to " + sizeText(made, true));
    }

    // How long the output lasts: the input, or the part of it that is cut
    // out; 0 when unknown.
    double outputSeconds() const {
        const double whole = input_.durationSeconds();
        if (!options_.cuts()) {
            return whole;
        }
        double end = options_.cutTo.value_or(whole);
        if (whole > 0.0) {
            end = std::min(end, whole);
        }
        return std::max(end - options_.cutFrom, 0.0);
    }

    // A cut between two pictures, or after the last, holds nothing: not the
    // input's fault.
    ConvertError madeNothing() const {
        if (!options_.cuts()) {
            return ConvertError(exit_code::kInputFailed, "nothing in the input could be decoded");
        }
        const std::string end = options_.cutTo ? cutTimeText(*options_.cutTo) : "the end";
        return ConvertError(exit_code::kInputFailed,
                            "the cut from " + cutTimeText(options_.cutFrom) + " to " + end +
                                " holds no " + (hasVideo_ ? "picture" : "sound"));
    }

    // A cut that starts past the input's end has nothing to keep.
    void checkCut() {
        const double whole = input_.durationSeconds();
        if (whole > 0.0 && options_.cutFrom >= whole) {
            throw ConvertError(exit_code::kInputFailed,
                               "the cut starts at " + clockText(options_.cutFrom, true) +
                                   ", past the end of the input at " + clockText(whole, true));
        }
        progress_.setDuration(outputSeconds());
    }

    // Whether every stream has decoded past the cut's end: the rest of the
    // input is not read.
    bool pastCut() const {
        if (!options_.cutTo || pipelines_.empty()) {
            return false;
        }
        const double length = *options_.cutTo - options_.cutFrom;
        for (const auto& pipeline : pipelines_) {
            if (pipeline->decodedEndSeconds() < length) {
                return false;
            }
        }
        return true;
    }

    bool firstPass() const { return passes_ != nullptr && passes_->pass == EncodePass::First; }

    // The video alone, into nothing: what the encoder learns is its log.
    bool runFirstPass() {
        if (options_.cuts()) {
            checkCut();
        }
        output_.discardPackets();
        setUpStreams();
        seekToCut();
        const bool stopped = pump();
        if (stop_.bySignalAlone()) {
            throw interrupted();
        }
        if (stopped) {
            return true;
        }
        finishStreams();
        if (stop_.bySignalAlone()) {
            throw interrupted();
        }
        if (stop_.asked()) {
            return true;
        }
        if (framesEncoded() == 0) {
            throw madeNothing();
        }
        if (options_.targetSize) {
            passes_->soundBytes = output_.discarded().soundBytes;
            passes_->packets = output_.discarded().packets;
        }
        return false;
    }

    // The bitrates that fill the target size: the video gets what the sound
    // and the container leave; sound alone comes down to fit.
    void fitInTargetSize(bool video, const std::vector<int>& audio) {
        const double seconds = outputSeconds();
        if (!(seconds > 0.0)) {
            throw ConvertError(exit_code::kInputFailed,
                               "the input does not tell its length, so no bitrate can be chosen "
                               "to fit it in a size");
        }
        const std::int64_t bytes = *options_.targetSize;
        const ContainerCost cost = containerCostOf(output_.format());
        const double share = cost.share;
        if (video && passes_ != nullptr && passes_->soundBytes >= 0) {
            // The first pass made the same sound and counted the packets.
            const double left = double(bytes) * (1.0 - kSizeMargin - share) -
                                double(passes_->soundBytes) -
                                double(passes_->packets) * cost.bytesPerPacket;
            // libavcodec's MPEG family spends up to 2 % beyond its aim, and
            // libvpx strays a little either way; x264 and x265 keep to it.
            const std::string encoder = videoEncoderName(options_, output_.format());
            double aim = 1.0;
            if (passLogOf(encoder) == PassLogKind::StatsText) {
                aim = encoder.rfind("libvpx", 0) == 0 ? 0.99 : 0.98;
            }
            const auto rate = std::int64_t(left * 8.0 / seconds * aim);
            if (rate < kMinFitVideoBitrate) {
                const auto sound = std::int64_t(double(passes_->soundBytes) * 8.0 / seconds);
                std::string why = sizeRefusal(bytes, seconds, true, sound, 1, share);
                if (why.empty()) {
                    why = sizeText(bytes) + " leaves too little for the picture beside the sound";
                }
                throw ConvertError(exit_code::kEncoderFailed, why);
            }
            options_.videoBitrate = rate;
            return;
        }
        // Without a bitrate of its own the encoder takes its usual one.
        std::int64_t sound = 0;
        for (std::size_t i = 0; i < audio.size(); ++i) {
            sound += options_.audioBitrate.value_or(kAssumedAudioBitrate);
        }
        const int tracks = int(audio.size());
        if (!video) {
            const AVCodecID sound = output_.format()->audio_codec;
            const AVCodecDescriptor* kind = avcodec_descriptor_get(sound);
            if ((kind != nullptr && (kind->props & AV_CODEC_PROP_LOSSLESS) != 0 &&
                 options_.audioCodec.empty()) ||
                encoderNameFor(options_.audioCodec).rfind("pcm", 0) == 0 ||
                encoderNameFor(options_.audioCodec) == "flac") {
                throw ConvertError(exit_code::kEncoderFailed,
                                   "the sound of this format is not compressed to a bitrate, so "
                                   "no size can be chosen for it");
            }
            const std::string refusal = sizeRefusal(bytes, seconds, false, 0, tracks, share);
            if (!refusal.empty()) {
                throw ConvertError(exit_code::kEncoderFailed, refusal);
            }
            const std::int64_t each = streamBitrateForSize(bytes, seconds, share) / tracks;
            if (!options_.audioBitrate || *options_.audioBitrate > each) {
                options_.audioBitrate = each;
                std::fprintf(stderr,
                             "vidmill-convert: note: the sound's bitrate was lowered to "
                             "fit; the size is approximate\n");
            }
            return;
        }
        const std::string refusal = sizeRefusal(bytes, seconds, true, sound, tracks, share);
        // A first pass only guesses the sound: the second weighs it and decides.
        if (!refusal.empty() && !firstPass()) {
            throw ConvertError(exit_code::kEncoderFailed, refusal);
        }
        options_.videoBitrate =
            std::max(streamBitrateForSize(bytes, seconds, share) - sound, kMinFitVideoBitrate);
    }

    void setUpStreams() {
        const bool video = convertsVideo(options_, input_, output_.format());
        const std::vector<int> audio = audioToKeep(video);
        if (options_.targetSize && (video || !audio.empty())) {
            fitInTargetSize(video, audio);
        }
        if (!video && audio.empty()) {
            // Said plainly for the common case: a silent video to a sound format.
            const bool soundAlone =
                options_.noVideo || output_.format()->video_codec == AV_CODEC_ID_NONE;
            throw ConvertError(exit_code::kNothingToConvert,
                               soundAlone && !options_.noAudio && input_.audioStreams().empty()
                                   ? "the input has no sound, and this output holds sound alone"
                                   : "the input has no stream that this output can take");
        }
        AVFormatContext* input = input_.context();
        byInput_.assign(input->nb_streams, nullptr);
        subtitlesByInput_.assign(input->nb_streams, nullptr);
        hasVideo_ = video;
        if (video) {
            addPipeline(
                makeVideoPipeline(options_, input, input_.videoStream(), output_, *this, passes_))
                ->disposition = AV_DISPOSITION_DEFAULT;
        }
        // A first pass makes the sound too (nothing of it is kept): the
        // last picture ends with it, and its timestamps join the video's
        // in the guard, so that both passes see the very same frames; and
        // for a size to fit, what it really takes is weighed.
        std::vector<AVStream*> sound;
        for (const int index : audio) {
            hasAudio_ = true;
            sound.push_back(addPipeline(makeAudioPipeline(options_, input, index, output_, *this)));
        }
        markDefaultTracks(sound);
        if (video && sound.empty() && std::strcmp(output_.format()->name, "psp") == 0) {
            addSilence();
        }
        if (options_.allTracks && !firstPass()) {
            addSubtitles();
        }
        discardTheRest();
    }

    // The PSP's container takes no video without sound, and the PSP plays
    // none: such a video gets a silent track.
    void addSilence() {
        silenceSource_ = std::make_unique<SilenceSource>();
        silence_ = makeAudioPipeline(options_, silenceSource_->context(), 0, output_, *this);
        silence_->outputStream()->disposition = AV_DISPOSITION_DEFAULT;
        hasAudio_ = true;
        if (!firstPass()) {
            std::fprintf(stderr,
                         "vidmill-convert: note: %s; this format holds no video without "
                         "sound, so the output has a silent track\n",
                         options_.noAudio ? "the sound is off" : "the input has no sound");
        }
    }

    // Silence as far as the pictures have come.
    void feedSilence() {
        if (!silence_) {
            return;
        }
        double until = 0.0;
        for (const auto& pipeline : pipelines_) {
            until = std::max(until, pipeline->decodedEndSeconds());
        }
        while (silenceSource_->endSeconds() < until && !stop_.stopNow()) {
            silenceSource_->read(silencePacket_.get());
            silence_->decode(silencePacket_.get());
            av_packet_unref(silencePacket_.get());
        }
    }

    void finishStreams() {
        for (auto& pipeline : pipelines_) {
            pipeline->finish();
        }
        if (silence_) {
            feedSilence();
            silence_->finish();
        }
    }

    // The demuxer can then skip the other streams' data instead of reading it.
    void discardTheRest() {
        AVFormatContext* input = input_.context();
        for (unsigned i = 0; i < input->nb_streams; ++i) {
            if (byInput_[i] == nullptr && subtitlesByInput_[i] == nullptr) {
                input->streams[i]->discard = AVDISCARD_ALL;
            }
        }
    }

    // Every track, or the best one; a file of sound alone takes the first
    // track, as a player does, rather than the one the demuxer rates best
    // (which may be a commentary with the higher bitrate).
    std::vector<int> audioToKeep(bool video) const {
        if (options_.noAudio || output_.format()->audio_codec == AV_CODEC_ID_NONE) {
            return {};
        }
        std::vector<int> all = input_.audioStreams();
        if (options_.allTracks || all.empty()) {
            return all;
        }
        if (!video) {
            return {all.front()};
        }
        return {input_.audioStream()};
    }

    // A lone track is the one to play; of several, those the source marks,
    // else the first.
    void markDefaultTracks(const std::vector<AVStream*>& sound) const {
        if (sound.size() == 1) {
            sound.front()->disposition = AV_DISPOSITION_DEFAULT;
            return;
        }
        bool marked = false;
        for (AVStream* stream : sound) {
            const AVStream* source = input_.context()->streams[sourceOf(stream)];
            stream->disposition = source->disposition & AV_DISPOSITION_DEFAULT;
            marked = marked || stream->disposition != 0;
        }
        if (!marked && !sound.empty()) {
            sound.front()->disposition = AV_DISPOSITION_DEFAULT;
        }
    }

    int sourceOf(const AVStream* output) const {
        for (const auto& pipeline : pipelines_) {
            if (pipeline->outputStream() == output) {
                return pipeline->inputIndex();
            }
        }
        return -1;
    }

    void addSubtitles() {
        AVFormatContext* input = input_.context();
        for (const int index : input_.subtitleStreams()) {
            AVStream* source = input->streams[index];
            std::string why;
            std::unique_ptr<SubtitleTrack> track = SubtitleTrack::make(source, output_, why);
            if (!track) {
                std::fprintf(stderr,
                             "vidmill-convert: note: subtitle stream %d (%s) left out: %s\n", index,
                             avcodec_get_name(source->codecpar->codec_id), why.c_str());
                continue;
            }
            AVStream* stream = track->outputStream();
            describeStream(source, stream);
            stream->disposition =
                source->disposition & (AV_DISPOSITION_DEFAULT | AV_DISPOSITION_FORCED);
            subtitlesByInput_[static_cast<std::size_t>(index)] = track.get();
            subtitles_.push_back(std::move(track));
        }
    }

    AVStream* addPipeline(std::unique_ptr<StreamPipeline> pipeline) {
        if (options_.cuts()) {
            pipeline->setCut(options_.cutFrom, options_.cutTo.value_or(0.0));
        }
        byInput_[pipeline->inputIndex()] = pipeline.get();
        AVStream* stream = pipeline->outputStream();
        pipelines_.push_back(std::move(pipeline));
        return stream;
    }

    // Feeds every packet to its pipeline; true when a stop request ended it.
    // A cut that starts later is sought: a little before it, on the key
    // frame from which its first picture decodes. The frames between are
    // decoded and left out, as from the start; an input that cannot be
    // sought is read from the start.
    void seekToCut() {
        constexpr double kLeadSeconds = 2.0;
        if (options_.cutFrom <= kLeadSeconds || !input_.source().seekable()) {
            return;
        }
        const std::int64_t target =
            input_.startTime() + std::llround((options_.cutFrom - kLeadSeconds) * AV_TIME_BASE);
        if (av_seek_frame(input_.context(), -1, target, AVSEEK_FLAG_BACKWARD) < 0) {
            av_seek_frame(input_.context(), -1, input_.startTime(), AVSEEK_FLAG_BACKWARD);
        }
    }

    bool pump() {
        AVFormatContext* context = input_.context();
        const std::int64_t start = input_.startTime();
        PacketPtr packet = makePacket();
        for (;;) {
            if (stop_.asked()) {
                return true;
            }
            if (pastCut()) {
                return false;
            }
            const int read = av_read_frame(context, packet.get());
            if (read < 0) {
                const FileSource& source = input_.source();
                if (source.stalled()) {
                    throw ConvertError(exit_code::kInputStalled,
                                       "the input delivered no data for too long");
                }
                if (source.stopped() || read == AVERROR_EXIT) {
                    return true;
                }
                if (source.readErrno() != 0) {
                    throw ConvertError(exit_code::kInputFailed,
                                       "cannot read the input: " + avErrorText(read));
                }
                return false;  // the end, or a damaged tail: keep what was decoded
            }
            // Streams may appear in mid-file (MPEG-TS); they were not chosen.
            const auto index = static_cast<std::size_t>(packet->stream_index);
            StreamPipeline* pipeline = index < byInput_.size() ? byInput_[index] : nullptr;
            SubtitleTrack* subtitles =
                index < subtitlesByInput_.size() ? subtitlesByInput_[index] : nullptr;
            if (pipeline != nullptr) {
                const AVStream* stream = context->streams[packet->stream_index];
                shiftToZero(packet.get(), stream, start);
                timestamps_.adjust(packet.get(), stream);
                pipeline->decode(packet.get());
                feedSilence();
            } else if (subtitles != nullptr) {
                const AVStream* stream = context->streams[packet->stream_index];
                shiftToZero(packet.get(), stream, start);
                timestamps_.follow(packet.get(), stream);
                if (withinCut(packet.get(), stream)) {
                    subtitles->write(packet.get());
                }
            }
            av_packet_unref(packet.get());
            progress_.update(doneSeconds(), output_.bytesWritten());
        }
    }

    // A subtitle shown within the cut moves with it; one shown wholly
    // outside it is left out, and one that crosses its start begins there.
    bool withinCut(AVPacket* packet, const AVStream* stream) const {
        if (!options_.cuts() || packet->pts == AV_NOPTS_VALUE) {
            return true;
        }
        const AVRational tb = stream->time_base;
        const std::int64_t from =
            av_rescale_q(std::llround(options_.cutFrom * 1000), AVRational{1, 1000}, tb);
        const std::int64_t end = packet->pts + std::max<std::int64_t>(packet->duration, 0);
        if (end <= from && packet->duration > 0) {
            return false;
        }
        if (options_.cutTo && packet->pts >= av_rescale_q(std::llround(*options_.cutTo * 1000),
                                                          AVRational{1, 1000}, tb)) {
            return false;
        }
        std::int64_t pts = packet->pts - from;
        if (pts < 0) {
            packet->duration = std::max<std::int64_t>(packet->duration + pts, 0);
            pts = 0;
        }
        packet->pts = pts;
        packet->dts = pts;
        return true;
    }

    // The output's timeline starts where the input's does.
    static void shiftToZero(AVPacket* packet, const AVStream* stream, std::int64_t start) {
        if (start == 0) {
            return;
        }
        const std::int64_t offset = av_rescale_q(start, AV_TIME_BASE_Q, stream->time_base);
        if (packet->pts != AV_NOPTS_VALUE) {
            packet->pts -= offset;
        }
        if (packet->dts != AV_NOPTS_VALUE) {
            packet->dts -= offset;
        }
    }

    std::int64_t framesEncoded() const {
        std::int64_t total = 0;
        for (const auto& pipeline : pipelines_) {
            total += pipeline->framesEncoded();
        }
        return total;
    }

    ConverterOptions options_;  // with the bitrates that fit a target size
    ProgressReporter& progress_;
    ConversionStop& stop_;
    MediaInput input_;
    OutputFile output_;
    TimestampGuard timestamps_;
    // Declared after the output: their encoders go before the muxer that holds their streams.
    std::vector<std::unique_ptr<StreamPipeline>> pipelines_;
    std::vector<StreamPipeline*> byInput_;
    // Sound for a video that has none, where the container needs some.
    std::unique_ptr<SilenceSource> silenceSource_;
    std::unique_ptr<StreamPipeline> silence_;
    PacketPtr silencePacket_ = makePacket();
    std::vector<std::unique_ptr<SubtitleTrack>> subtitles_;
    std::vector<SubtitleTrack*> subtitlesByInput_;
    bool hasAudio_ = false;
    bool hasVideo_ = false;
    PassPlan* passes_;
};

// Two passes over the same input: the first teaches the video encoder where
// the bits are needed, the second spends them. The first writes nothing but
// the encoder's log, kept in a folder of its own that goes with this run.
// Nothing is written when a stop comes during the first.
int convertInTwoPasses(const ConverterOptions& options, ProgressReporter& progress,
                       ConversionStop& stop, MediaInput input, PassLogKind kind) {
    PassFolder folder;
    PassPlan plan;
    if (kind == PassLogKind::OwnFile || kind == PassLogKind::X265Params) {
        if (options.passFolder.empty()) {
            throw ConvertError(exit_code::kUsage, "two passes with this encoder need -passdir");
        }
        std::string error;
        folder = PassFolder::create(options.passFolder, &error);
        if (folder.path().empty()) {
            throw ConvertError(exit_code::kOutputFailed,
                               std::string(kPassLogsFault) + " cannot be kept: " + error);
        }
        plan.folder = folder.encoderPath();
    }
    plan.pass = EncodePass::First;
    progress.setPass(0, 2);
    std::optional<MediaInput> again;
    try {
        Conversion first(options, progress, stop, std::move(input), &plan);
        if (first.run()) {
            return exit_code::kSuccess;
        }
        again = MediaInput::open(options.inputPath, stop, MediaInput::Examination::Full,
                                 first.input().source().descriptor());
    } catch (const ConvertError& error) {
        if (error.exitCode() == exit_code::kInterrupted && options.outputFd >= 0) {
            // As when a signal comes before the input is open: the file handed
            // to us is still empty, and whoever made it may be gone.
            removeOutput(options.outputPath->c_str(), options.outputFd);
        }
        // The first pass writes nothing but the log, and an encoder that
        // could not write it says so without the cause: a folder that takes
        // nothing more is the machine's fault, not the video's.
        if (error.exitCode() != exit_code::kInterrupted && !folder.path().empty()) {
            if (const int full = folder.writeError(); full != 0) {
                throw ConvertError(exit_code::kOutputFailed,
                                   std::string(kPassLogsFault) + " could not be written in " +
                                       options.passFolder + ": " + std::strerror(full));
            }
        }
        throw;
    }
    if (!again) {
        if (stop.bySignalAlone() && options.outputFd >= 0) {
            removeOutput(options.outputPath->c_str(), options.outputFd);
        }
        return stoppedBeforeStart(stop);
    }
    plan.pass = EncodePass::Second;
    progress.setPass(1, 2);
    Conversion(options, progress, stop, std::move(*again), &plan).run();
    return exit_code::kSuccess;
}

}  // namespace

int probeInput(const ConverterOptions& options, ProgressReporter& progress) {
    const ConversionStop stop(progress.slot());
    if (!openInput(options, progress, stop, MediaInput::Examination::HeaderWhenEnough)) {
        return stoppedBeforeStart(stop);
    }
    return exit_code::kSuccess;
}

namespace {

// The automatic crop, decided by a look at the pictures before the
// conversion. Whether the frames are woven fields is found by the
// conversion itself, as it decodes them.
ConverterOptions resolveCrop(const ConverterOptions& options, const MediaInput& input,
                             const ConversionStop& stop) {
    ConverterOptions resolved = options;
    const std::optional<CropRect> bars = findBars(input, options.inputPath, stop);
    resolved.crop = bars ? PictureChoice::On : PictureChoice::Off;
    resolved.cropRect = bars.value_or(CropRect{});
    return resolved;
}

}  // namespace

int convertInput(const ConverterOptions& given, ProgressReporter& progress) {
    ConversionStop stop(progress.slot());
    std::optional<MediaInput> input = openInput(given, progress, stop);
    if (!input) {
        if (stop.bySignalAlone() && given.outputFd >= 0) {
            // The file handed to us stays empty, and nobody may be left to
            // remove it: the program that made it may be what died.
            removeOutput(given.outputPath->c_str(), given.outputFd);
        }
        return stoppedBeforeStart(stop);
    }
    // Sound alone needs no look at the pictures, whatever is automatic.
    const bool lookForBars = !given.noVideo && given.crop == PictureChoice::Auto;
    const ConverterOptions options = lookForBars ? resolveCrop(given, *input, stop) : given;
    if (options.wantsTwoPasses()) {
        const std::string encoder = videoEncoderFor(options, *input);
        const PassLogKind kind = passLogOf(encoder);
        if (kind != PassLogKind::None && input->source().seekable()) {
            return convertInTwoPasses(options, progress, stop, std::move(*input), kind);
        }
        // Whoever asked for two passes hears that there was one.
        if (!encoder.empty()) {
            std::fprintf(
                stderr, "vidmill-convert: note: %s; %s\n",
                kind == PassLogKind::None ? (encoder + " has no second pass").c_str()
                                          : "an input that cannot be read twice gets one pass",
                options.targetSize ? "the size is approximate" : "the video is made in one pass");
        }
    }
    Conversion(options, progress, stop, std::move(*input)).run();
    return exit_code::kSuccess;
}

}  // namespace vidmill
