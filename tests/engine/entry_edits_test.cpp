#include "engine/entry_edits.h"

#include <gtest/gtest.h>

namespace vidmill {
namespace {

EntryEdits edited(void (*change)(ConversionSettings&)) {
    ConversionSettings settings;
    change(settings);
    return editsOf(settings);
}

TEST(EntryEditsTest, StoredFormsReadBackAndDescribeTheConversion) {
    struct Case {
        EntryEdits edits;
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
             // A rectangle left from an earlier fixed crop is no edit.
             s.cropWidth = 640;
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
        EXPECT_EQ(editsRecord(c.edits), c.record);
        EXPECT_EQ(editsText(c.edits), c.text);
        EntryEdits read;
        read.twoPass = true;  // whatever was there goes
        EXPECT_TRUE(readEditsRecord(c.record, read));
        EXPECT_EQ(read, c.edits);
    }
}

TEST(EntryEditsTest, ValuesNoVersionWritesLeaveTheEntryPlain) {
    for (const char* record :
         {"size=0", "size=-5", "size=25000x", "size=", "twopass=1", "from=86400000", "to=0",
          "from=5000 to=5000", "crop=8:8:0:0", "crop=640:352:0", "crop=640:352:0:4:1",
          "crop=640:99999:0:0", "deint=auto", "size=25000 deint=maybe"}) {
        SCOPED_TRACE(record);
        EntryEdits read;
        EXPECT_FALSE(readEditsRecord(record, read));
        EXPECT_FALSE(read.any());
    }
    // Words of a later version are passed over.
    EntryEdits read;
    EXPECT_TRUE(readEditsRecord("speed=2  size=800 tone=warm", read));
    EXPECT_EQ(editsText(read), "fit in 800 KB");
}

}  // namespace
}  // namespace vidmill
