#include "converter/transcoder.h"

#include "converter/process_guard.h"

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "converter/conversion_stop.h"
#include "converter/convert_error.h"
#include "converter/input/media_input.h"
#include "converter/output/output_file.h"
#include "converter/output/source_description.h"
#include "converter/pipeline/stream_pipeline.h"
#include "converter/pipeline/subtitle_track.h"
#include "converter/pipeline/timestamp_guard.h"

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
    std::optional<MediaInput> input = MediaInput::open(options.inputPath, stop, examination);
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
void refuseOverwritingInput(const std::string& input, const OutputFile& output) {
    struct stat in {};
    struct stat out {};
    if (::stat(input.c_str(), &in) == 0 && ::stat(output.openPath().c_str(), &out) == 0 &&
        in.st_dev == out.st_dev && in.st_ino == out.st_ino) {
        throw ConvertError(exit_code::kOutputFailed,
                           "the output '" + output.path() + "' is the input itself");
    }
}

ConvertError interrupted() {
    return ConvertError(exit_code::kInterrupted,
                        "stopped by a signal; the unfinished output was removed");
}

class Conversion final : public PipelineWatch {
  public:
    Conversion(const ConverterOptions& options, ProgressReporter& progress, ConversionStop& stop,
               MediaInput input)
        : options_(options),
          progress_(progress),
          stop_(stop),
          input_(std::move(input)),
          output_(*options.outputPath, options.container, options.outputFd),
          timestamps_(input_.context(), input_.durationSeconds()) {}

    void run() {
        refuseOverwritingInput(options_.inputPath, output_);
        setUpStreams();
        keepSourceDescription(input_.context(), output_.context(), input_.startTime(),
                              input_.durationSeconds());
        output_.create(options_.overwrite);
        const int header = output_.writeHeader();
        if (header < 0) {
            const bool audioAsked = hasAudio_ && options_.audioOptionsRequested();
            throw ConvertError(audioAsked ? exit_code::kAudioRefused : exit_code::kOutputFailed,
                               describeFailure("the container refused the streams", header));
        }
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
        for (auto& pipeline : pipelines_) {
            pipeline->finish();
        }
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
            throw ConvertError(exit_code::kInputFailed, "nothing in the input could be decoded");
        }
        if (!stopped) {
            noteShortInput(input_.durationSeconds(), output_.writtenSeconds());
        }
    }

    // Asked before every frame; also the moment to report progress, as one
    // packet can make thousands of frames.
    bool stopNow() const override {
        progress_.update(output_.writtenSeconds(), output_.bytesWritten());
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
    void setUpStreams() {
        const AVOutputFormat* format = output_.format();
        const bool video = input_.videoStream() >= 0 && !options_.noVideo &&
                           format->video_codec != AV_CODEC_ID_NONE;
        const std::vector<int> audio = audioToKeep(video);
        if (!video && audio.empty()) {
            // Said plainly for the common case: a silent video to a sound format.
            const bool soundAlone = options_.noVideo || format->video_codec == AV_CODEC_ID_NONE;
            throw ConvertError(exit_code::kNothingToConvert,
                               soundAlone && !options_.noAudio && input_.audioStreams().empty()
                                   ? "the input has no sound, and this output holds sound alone"
                                   : "the input has no stream that this output can take");
        }
        AVFormatContext* input = input_.context();
        byInput_.assign(input->nb_streams, nullptr);
        subtitlesByInput_.assign(input->nb_streams, nullptr);
        if (video) {
            addPipeline(makeVideoPipeline(options_, input, input_.videoStream(), output_, *this))
                ->disposition = AV_DISPOSITION_DEFAULT;
        }
        std::vector<AVStream*> sound;
        for (const int index : audio) {
            hasAudio_ = true;
            sound.push_back(addPipeline(makeAudioPipeline(options_, input, index, output_, *this)));
        }
        markDefaultTracks(sound);
        if (options_.allTracks) {
            addSubtitles();
        }
        // The demuxer can then skip the other streams' data instead of reading it.
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
        byInput_[pipeline->inputIndex()] = pipeline.get();
        AVStream* stream = pipeline->outputStream();
        pipelines_.push_back(std::move(pipeline));
        return stream;
    }

    // Feeds every packet to its pipeline; true when a stop request ended it.
    bool pump() {
        AVFormatContext* context = input_.context();
        const std::int64_t start = input_.startTime();
        PacketPtr packet = makePacket();
        for (;;) {
            if (stop_.asked()) {
                return true;
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
            } else if (subtitles != nullptr) {
                const AVStream* stream = context->streams[packet->stream_index];
                shiftToZero(packet.get(), stream, start);
                timestamps_.follow(packet.get(), stream);
                subtitles->write(packet.get());
            }
            av_packet_unref(packet.get());
            progress_.update(output_.writtenSeconds(), output_.bytesWritten());
        }
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

    const ConverterOptions& options_;
    ProgressReporter& progress_;
    ConversionStop& stop_;
    MediaInput input_;
    OutputFile output_;
    TimestampGuard timestamps_;
    // Declared after the output: their encoders go before the muxer that holds their streams.
    std::vector<std::unique_ptr<StreamPipeline>> pipelines_;
    std::vector<StreamPipeline*> byInput_;
    std::vector<std::unique_ptr<SubtitleTrack>> subtitles_;
    std::vector<SubtitleTrack*> subtitlesByInput_;
    bool hasAudio_ = false;
};

}  // namespace

int probeInput(const ConverterOptions& options, ProgressReporter& progress) {
    const ConversionStop stop(progress.slot());
    if (!openInput(options, progress, stop, MediaInput::Examination::HeaderWhenEnough)) {
        return stoppedBeforeStart(stop);
    }
    return exit_code::kSuccess;
}

int convertInput(const ConverterOptions& options, ProgressReporter& progress) {
    ConversionStop stop(progress.slot());
    std::optional<MediaInput> input = openInput(options, progress, stop);
    if (!input) {
        if (stop.bySignalAlone() && options.outputFd >= 0) {
            // The file handed to us stays empty, and nobody may be left to
            // remove it: the program that made it may be what died.
            removeOutput(options.outputPath->c_str(), options.outputFd);
        }
        return stoppedBeforeStart(stop);
    }
    Conversion(options, progress, stop, std::move(*input)).run();
    return exit_code::kSuccess;
}

}  // namespace vidmill
