#include "engine/list/entry_edits.h"

#include <gtest/gtest.h>

namespace vidmill {
namespace {

ConversionSettings edited(void (*change)(ConversionSettings&)) {
    ConversionSettings settings;
    change(settings);
    return settings;
}

// The fields that a record holds.
auto editFields(const ConversionSettings& s) {
    return std::tuple(s.targetSizeKb, s.twoPass, s.cutFromMs, s.cutToMs, s.cropMode, s.cropWidth,
                      s.cropHeight, s.cropX, s.cropY, s.deinterlace);
}

TEST(EntryEditsTest, StoredFormsReadBackAndDescribeTheConversion) {
    struct Case {
        ConversionSettings settings;
        const char* record;
        const char* text;
    };
    const Case cases[] = {
        {edited([](ConversionSettings&) {}), "", ""},
        {edited([](ConversionSettings& s) {
             s.targetSizeKb = 25'000;
             s.twoPass = true;
             s.cutFromMs = 10'000;
             s.cutToMs = 150'500;
             s.cropMode = kCropAuto;
             s.deinterlace = kDeinterlaceOff;
         }),
         "size=25000 twopass from=10000 to=150500 crop=auto deint=off",
         "fit in 25 MB, from 0:10 to 2:30.5, black bars removed, never deinterlaced"},
        {edited([](ConversionSettings& s) {
             s.twoPass = true;
             s.cutToMs = 90'000;
             s.deinterlace = kDeinterlaceOn;
         }),
         "twopass to=90000 deint=on", "two passes, up to 1:30, always deinterlaced"},
        {edited([](ConversionSettings& s) {
             s.cropMode = kCropFixed;
             s.cropWidth = 640;
             s.cropHeight = 352;
             s.cropY = 4;
         }),
         "crop=640:352:0:4", "cropped to 640x352 at 0,4"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.record);
        EXPECT_EQ(editsRecord(c.settings), c.record);
        EXPECT_EQ(editsText(c.record), c.text);
        ConversionSettings read;
        read.twoPass = true;  // whatever was there goes
        EXPECT_TRUE(readEditsRecord(c.record, read));
        EXPECT_EQ(editFields(read), editFields(c.settings));
    }
    // A rectangle left from an earlier fixed crop is no edit.
    EXPECT_EQ(editsRecord(edited([](ConversionSettings& s) { s.cropWidth = 640; })), "");
}

TEST(EntryEditsTest, ValuesNoVersionWritesLeaveTheEntryPlain) {
    for (const char* record :
         {"size=0", "size=-5", "size=25000x", "size=", "twopass=1", "from=86400000", "to=0",
          "from=5000 to=5000", "crop=8:8:0:0", "crop=640:352:0", "crop=640:352:0:4:1",
          "crop=640:99999:0:0", "deint=auto", "size=25000 deint=maybe"}) {
        SCOPED_TRACE(record);
        ConversionSettings read;
        EXPECT_FALSE(readEditsRecord(record, read));
        EXPECT_EQ(editsRecord(read), "");
        EXPECT_EQ(editsText(record), "");
    }
    // Words of a later version are passed over.
    EXPECT_EQ(editsText("speed=2  size=800 tone=warm"), "fit in 800 KB");
}

}  // namespace
}  // namespace vidmill
