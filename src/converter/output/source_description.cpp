#include "converter/output/source_description.h"

#include <strings.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

extern "C" {
#include <libavutil/mem.h>
}

namespace vidmill {

namespace {

// What a container says about how it was written, not about the video.
constexpr const char* kTechnicalKeys[] = {"encoder", "major_brand", "minor_version",
                                          "compatible_brands"};
// Where a phone's QuickTime file keeps the place it was taken.
constexpr const char* kQuickTimeLocation = "com.apple.quicktime.location.ISO6709";

bool isTechnicalKey(const char* key) {
    return std::any_of(std::begin(kTechnicalKeys), std::end(kTechnicalKeys),
                       [key](const char* technical) { return strcasecmp(key, technical) == 0; });
}

void setTag(AVDictionary** tags, const char* key, const char* value, int flags) {
    if (av_dict_set(tags, key, value, flags) < 0) {
        throw std::bad_alloc();
    }
}

const char* tagValue(const AVDictionary* tags, const char* key) {
    const AVDictionaryEntry* entry = av_dict_get(tags, key, nullptr, 0);
    return entry != nullptr ? entry->value : nullptr;
}

void copyTags(const AVDictionary* from, AVDictionary** to) {
    const AVDictionaryEntry* entry = nullptr;
    while ((entry = av_dict_get(from, "", entry, AV_DICT_IGNORE_SUFFIX)) != nullptr) {
        if (!isTechnicalKey(entry->key)) {
            setTag(to, entry->key, entry->value, AV_DICT_DONT_OVERWRITE);
        }
    }
    // The muxers write a place under "location" (MP4's ©xyz among them).
    if (tagValue(*to, "location") == nullptr) {
        if (const char* place = tagValue(from, kQuickTimeLocation)) {
            setTag(to, "location", place, 0);
        }
    }
}

struct ChapterDeleter {
    void operator()(AVChapter* chapter) const {
        av_dict_free(&chapter->metadata);
        av_free(chapter);
    }
};
using ChapterPtr = std::unique_ptr<AVChapter, ChapterDeleter>;

void addChapter(AVFormatContext* output, ChapterPtr chapter) {
    int count = static_cast<int>(output->nb_chapters);
    if (av_dynarray_add_nofree(&output->chapters, &count, chapter.get()) < 0) {
        throw std::bad_alloc();
    }
    output->nb_chapters = static_cast<unsigned>(count);
    chapter.release();  // the context frees its chapters
}

void copyChapters(const AVFormatContext* input, AVFormatContext* output, std::int64_t startTime,
                  double durationSeconds) {
    for (unsigned i = 0; i < input->nb_chapters; ++i) {
        const AVChapter* source = input->chapters[i];
        const AVRational timeBase = source->time_base;
        if (timeBase.num <= 0 || timeBase.den <= 0) {
            continue;
        }
        const std::int64_t offset = av_rescale_q(startTime, AV_TIME_BASE_Q, timeBase);
        std::int64_t start = std::max<std::int64_t>(source->start - offset, 0);
        std::int64_t end = source->end - offset;
        if (durationSeconds > 0) {
            const std::int64_t limit = av_rescale_q(std::llround(durationSeconds * AV_TIME_BASE),
                                                    AV_TIME_BASE_Q, timeBase);
            if (start >= limit) {
                continue;
            }
            end = std::min(end, limit);
        }
        if (end <= start) {
            continue;
        }
        ChapterPtr chapter(static_cast<AVChapter*>(av_mallocz(sizeof(AVChapter))));
        if (!chapter) {
            throw std::bad_alloc();
        }
        chapter->id = source->id;
        chapter->time_base = timeBase;
        chapter->start = start;
        chapter->end = end;
        if (av_dict_copy(&chapter->metadata, source->metadata, 0) < 0) {
            throw std::bad_alloc();
        }
        addChapter(output, std::move(chapter));
    }
}

bool isOgg(const AVOutputFormat* format) {
    for (const char* name : {"ogg", "oga", "ogv", "opus", "spx"}) {
        if (std::strcmp(format->name, name) == 0) {
            return true;
        }
    }
    return false;
}

// CHAPTER000=00:01:02.500 and CHAPTER000NAME=title, as the Ogg muxer writes them.
void chaptersAsComments(AVFormatContext* output) {
    for (unsigned i = 0; i < output->nb_chapters && i < 1000; ++i) {
        const AVChapter* chapter = output->chapters[i];
        const std::int64_t ms =
            av_rescale_q(chapter->start, chapter->time_base, AVRational{1, 1000});
        char key[32];
        char time[48];
        std::snprintf(key, sizeof key, "CHAPTER%03u", i);
        std::snprintf(time, sizeof time, "%02lld:%02lld:%02lld.%03lld",
                      static_cast<long long>(ms / 3600000), static_cast<long long>(ms / 60000 % 60),
                      static_cast<long long>(ms / 1000 % 60), static_cast<long long>(ms % 1000));
        // A reader takes a name only for a chapter it already knows: the
        // start goes first.
        setTag(&output->metadata, key, time, 0);
        if (const char* title = tagValue(chapter->metadata, "title")) {
            std::strncat(key, "NAME", sizeof key - std::strlen(key) - 1);
            setTag(&output->metadata, key, title, 0);
        }
    }
}

}  // namespace

void describeStream(const AVStream* source, AVStream* output) {
    for (const char* key : {"language", "title"}) {
        if (const char* value = tagValue(source->metadata, key)) {
            setTag(&output->metadata, key, value, 0);
        }
    }
}

void keepSourceDescription(const AVFormatContext* input, AVFormatContext* output,
                           std::int64_t startTime, double durationSeconds) {
    copyTags(input->metadata, &output->metadata);
    copyChapters(input, output, startTime, durationSeconds);
    if (isOgg(output->oformat)) {
        // The file's tags are its only stream's: the file's title is what a
        // player shows, not the name the track had among others.
        for (unsigned i = 0; i < output->nb_streams; ++i) {
            if (av_dict_copy(&output->streams[i]->metadata, output->metadata, 0) < 0) {
                throw std::bad_alloc();
            }
        }
    }
    if (std::strcmp(output->oformat->name, "flac") == 0) {
        chaptersAsComments(output);
    }
}

}  // namespace vidmill
