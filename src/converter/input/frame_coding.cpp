#include "converter/input/frame_coding.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vidmill {
namespace {

// Reads the bits of a NAL unit's payload, its emulation-prevention bytes
// taken out; reads past the end give zeros and mark it spent.
class BitReader {
  public:
    BitReader(const std::uint8_t* data, std::size_t size) {
        for (std::size_t i = 0; i < size; ++i) {
            if (i >= 2 && data[i] == 3 && data[i - 1] == 0 && data[i - 2] == 0) {
                continue;
            }
            bytes_.push_back(data[i]);
        }
    }
    unsigned bit() {
        if (at_ >= bytes_.size() * 8) {
            spent_ = true;
            return 0;
        }
        const unsigned value = (bytes_[at_ / 8] >> (7 - at_ % 8)) & 1u;
        ++at_;
        return value;
    }
    unsigned bits(int count) {
        unsigned value = 0;
        while (count-- > 0) {
            value = value << 1 | bit();
        }
        return value;
    }
    std::uint32_t ue() {
        int zeros = 0;
        while (bit() == 0 && !spent_ && zeros < 32) {
            ++zeros;
        }
        return zeros >= 32 ? 0 : (1u << zeros) - 1 + bits(zeros);
    }
    std::int32_t se() {
        const std::uint32_t value = ue();
        return value & 1 ? std::int32_t((value + 1) / 2) : -std::int32_t(value / 2);
    }
    bool spent() const { return spent_; }

  private:
    std::vector<std::uint8_t> bytes_;
    std::size_t at_ = 0;
    bool spent_ = false;
};

void skipScalingList(BitReader& reader, int size) {
    int last = 8;
    int next = 8;
    for (int j = 0; j < size; ++j) {
        if (next != 0) {
            next = (last + reader.se() + 256) % 256;
        }
        last = next == 0 ? last : next;
    }
}

// frame_mbs_only_flag of an H.264 sequence parameter set (the NAL unit's
// payload, after its header byte); -1 when it cannot be read.
int frameMbsOnly(const std::uint8_t* sps, std::size_t size) {
    BitReader reader(sps, size);
    const unsigned profile = reader.bits(8);
    reader.bits(16);  // constraint flags, level
    reader.ue();      // seq_parameter_set_id
    switch (profile) {
        case 100:
        case 110:
        case 122:
        case 244:
        case 44:
        case 83:
        case 86:
        case 118:
        case 128:
        case 138:
        case 139:
        case 134:
        case 135: {
            const std::uint32_t chroma = reader.ue();
            if (chroma == 3) {
                reader.bit();  // separate_colour_plane_flag
            }
            reader.ue();   // bit_depth_luma_minus8
            reader.ue();   // bit_depth_chroma_minus8
            reader.bit();  // qpprime_y_zero_transform_bypass_flag
            if (reader.bit()) {
                for (int i = 0; i < (chroma == 3 ? 12 : 8); ++i) {
                    if (reader.bit()) {
                        skipScalingList(reader, i < 6 ? 16 : 64);
                    }
                }
            }
            break;
        }
        default:
            break;
    }
    reader.ue();  // log2_max_frame_num_minus4
    const std::uint32_t pocType = reader.ue();
    if (pocType == 0) {
        reader.ue();
    } else if (pocType == 1) {
        reader.bit();
        reader.se();
        reader.se();
        const std::uint32_t cycle = reader.ue();
        for (std::uint32_t i = 0; i < cycle && i < 256; ++i) {
            reader.se();
        }
    }
    reader.ue();   // max_num_ref_frames
    reader.bit();  // gaps_in_frame_num_value_allowed_flag
    reader.ue();   // pic_width_in_mbs_minus1
    reader.ue();   // pic_height_in_map_units_minus1
    const unsigned frameOnly = reader.bit();
    return reader.spent() ? -1 : int(frameOnly);
}

// The first sequence parameter set in H.264 extradata, in either of its
// forms: an avcC record (MP4, Matroska) or start codes (MPEG-TS).
bool findH264Sps(const std::uint8_t* data, std::size_t size, const std::uint8_t** sps,
                 std::size_t* length) {
    if (size >= 8 && data[0] == 1) {
        const std::size_t count = data[5] & 0x1f;
        const std::size_t first = std::size_t(data[6]) << 8 | data[7];
        if (count == 0 || 8 + first > size || first < 2) {
            return false;
        }
        *sps = data + 9;  // past the NAL header byte
        *length = first - 1;
        return true;
    }
    for (std::size_t i = 0; i + 4 < size; ++i) {
        if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1 && (data[i + 3] & 0x1f) == 7) {
            std::size_t end = i + 4;
            while (end + 2 < size &&
                   !(data[end] == 0 && data[end + 1] == 0 && data[end + 2] <= 1)) {
                ++end;
            }
            *sps = data + i + 4;
            *length = (end + 2 < size ? end : size) - (i + 4);
            return true;
        }
    }
    return false;
}

}  // namespace

bool codingIsFrameOnly(const AVCodecParameters& stream) {
    switch (stream.codec_id) {
        case AV_CODEC_ID_VP8:
        case AV_CODEC_ID_VP9:
        case AV_CODEC_ID_AV1:
        case AV_CODEC_ID_PNG:
        case AV_CODEC_ID_APNG:
        case AV_CODEC_ID_GIF:
        case AV_CODEC_ID_WEBP:
        case AV_CODEC_ID_BMP:
        case AV_CODEC_ID_QTRLE:
        case AV_CODEC_ID_FLASHSV:
        case AV_CODEC_ID_FLASHSV2:
        case AV_CODEC_ID_TSCC:
        case AV_CODEC_ID_TSCC2:
        case AV_CODEC_ID_VMNC:
            return true;
        case AV_CODEC_ID_H264: {
            const std::uint8_t* sps = nullptr;
            std::size_t length = 0;
            return stream.extradata != nullptr &&
                   findH264Sps(stream.extradata, std::size_t(stream.extradata_size), &sps,
                               &length) &&
                   frameMbsOnly(sps, length) == 1;
        }
        case AV_CODEC_ID_HEVC:
            // hvcC: general_frame_only_constraint_flag, the fourth of the
            // constraint flags that follow the compatibility flags.
            return stream.extradata != nullptr && stream.extradata_size >= 23 &&
                   stream.extradata[0] == 1 && (stream.extradata[6] & 0x10) != 0;
        default:
            return false;
    }
}

}  // namespace vidmill
