// Checks the synthetic volume builder against the on-disk format itself, so
// the readers' tests can trust the images it makes.
#include "image_builder.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <stdexcept>

namespace {

using namespace testimage;

// Decodes a mapping-pairs array by hand: {length, absolute LCN or -1 for a
// hole}. Stops at the terminator.
std::vector<std::pair<uint64_t, int64_t>> DecodePairs(const Bytes& Pairs, size_t Offset = 0) {
    std::vector<std::pair<uint64_t, int64_t>> Runs;
    int64_t Lcn = 0;
    while (Offset < Pairs.size() && Pairs[Offset] != 0) {
        const unsigned LengthBytes = Pairs[Offset] & 0x0F;
        const unsigned OffsetBytes = Pairs[Offset] >> 4;
        ++Offset;
        uint64_t Length = 0;
        for (unsigned i = 0; i < LengthBytes; ++i) {
            Length |= uint64_t{Pairs.at(Offset++)} << (8 * i);
        }
        if (OffsetBytes == 0) {
            Runs.emplace_back(Length, -1);
            continue;
        }
        uint64_t Delta = 0;
        for (unsigned i = 0; i < OffsetBytes; ++i) {
            Delta |= uint64_t{Pairs.at(Offset++)} << (8 * i);
        }
        if (OffsetBytes < 8 && (Delta >> (8 * OffsetBytes - 1)) & 1) {
            Delta |= ~uint64_t{0} << (8 * OffsetBytes); // sign-extend
        }
        Lcn += static_cast<int64_t>(Delta);
        Runs.emplace_back(Length, Lcn);
    }
    return Runs;
}

// Undoes the update sequence by hand; false when a sector end is not the USN.
bool Unprotect(Bytes& Buffer, size_t UsaOffset) {
    const uint16_t Usn = Get16(Buffer, UsaOffset);
    for (size_t i = 1; i <= Buffer.size() / SectorSize; ++i) {
        const size_t End = i * SectorSize - 2;
        if (Get16(Buffer, End) != Usn) {
            return false;
        }
        Put16(Buffer, End, Get16(Buffer, UsaOffset + 2 * i));
    }
    return true;
}

Bytes Random(size_t Length, uint32_t Seed) {
    std::mt19937 Engine(Seed);
    Bytes Out(Length);
    for (uint8_t& Byte : Out) {
        Byte = static_cast<uint8_t>(Engine());
    }
    return Out;
}

TEST(ImageBuilderMappingPairs, EncodesMinimalFields) {
    EXPECT_EQ(EncodeMappingPairs({{0x18, 0x5634}}), (Bytes{0x21, 0x18, 0x34, 0x56, 0x00}));
    // The second run lies 0x10 clusters below the first: delta -16 is one byte.
    EXPECT_EQ(EncodeMappingPairs({{0x18, 0x5634}, {0x10, 0x5624}}),
              (Bytes{0x21, 0x18, 0x34, 0x56, 0x11, 0x10, 0xF0, 0x00}));
    // A hole has no offset field at all.
    EXPECT_EQ(EncodeMappingPairs({{0x20, 0, true}}), (Bytes{0x01, 0x20, 0x00}));
    EXPECT_EQ(EncodeMappingPairs({}), (Bytes{0x00}));

    // Sign boundaries: 0x7F fits a byte, 0x80 needs a zero byte above it so
    // it does not read back as -128; -0x80 fits, -0x81 does not.
    EXPECT_EQ(EncodeMappingPairs({{1, 0x7F}}), (Bytes{0x11, 0x01, 0x7F, 0x00}));
    EXPECT_EQ(EncodeMappingPairs({{1, 0x80}}), (Bytes{0x21, 0x01, 0x80, 0x00, 0x00}));
    EXPECT_EQ(EncodeMappingPairs({{1, 0x100}, {1, 0x80}}), (Bytes{0x21, 0x01, 0x00, 0x01, 0x11, 0x01, 0x80, 0x00}));
    EXPECT_EQ(EncodeMappingPairs({{1, 0x100}, {1, 0x7F}}),
              (Bytes{0x21, 0x01, 0x00, 0x01, 0x21, 0x01, 0x7F, 0xFF, 0x00}));
    // Lengths are unsigned: 0xFF is one byte, 0x100 two.
    EXPECT_EQ(EncodeMappingPairs({{0xFF, 1}}), (Bytes{0x11, 0xFF, 0x01, 0x00}));
    EXPECT_EQ(EncodeMappingPairs({{0x100, 1}}), (Bytes{0x12, 0x00, 0x01, 0x01, 0x00}));
    // A real run at LCN 0 right after another still needs a (zero) offset
    // byte: no offset field would mean a hole.
    EXPECT_EQ(EncodeMappingPairs({{1, 0}}), (Bytes{0x11, 0x01, 0x00, 0x00}));
}

TEST(ImageBuilderMappingPairs, HolesDoNotMoveTheDeltaBase) {
    // 100 -> hole -> 90: the last run's delta is -10 from 100.
    EXPECT_EQ(EncodeMappingPairs({{4, 100}, {8, 0, true}, {4, 90}}),
              (Bytes{0x11, 0x04, 0x64, 0x01, 0x08, 0x11, 0x04, 0xF6, 0x00}));
}

TEST(ImageBuilderMappingPairs, ForcedFieldSizes) {
    RunEntry Wide{0x18, 0x5634};
    Wide.LengthBytes = 3;
    Wide.OffsetBytes = 4;
    EXPECT_EQ(EncodeMappingPairs({Wide}), (Bytes{0x43, 0x18, 0x00, 0x00, 0x34, 0x56, 0x00, 0x00, 0x00}));
    // A widened negative delta is sign-extended.
    RunEntry Back{1, 0x5624};
    Back.OffsetBytes = 3;
    EXPECT_EQ(EncodeMappingPairs({{0x18, 0x5634}, Back}),
              (Bytes{0x21, 0x18, 0x34, 0x56, 0x31, 0x01, 0xF0, 0xFF, 0xFF, 0x00}));
    // A narrowed field is truncated, and past eight bytes the fill continues.
    RunEntry Narrow{0x1234, 0x5634};
    Narrow.LengthBytes = 1;
    Narrow.OffsetBytes = 9;
    EXPECT_EQ(EncodeMappingPairs({Narrow}),
              (Bytes{0x91, 0x34, 0x34, 0x56, 0, 0, 0, 0, 0, 0, 0, 0x00}));
    RunEntry NarrowBack{1, 0x5624};
    NarrowBack.OffsetBytes = 9;
    EXPECT_EQ(EncodeMappingPairs({{0x18, 0x5634}, NarrowBack}),
              (Bytes{0x21, 0x18, 0x34, 0x56, 0x91, 0x01, 0xF0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00}));
    RunEntry TooWide{1, 1};
    TooWide.LengthBytes = 16;
    EXPECT_THROW(EncodeMappingPairs({TooWide}), std::invalid_argument);
}

TEST(ImageBuilderMappingPairs, RandomRunListsDecodeBack) {
    std::mt19937_64 Engine(7);
    for (int Trial = 0; Trial < 200; ++Trial) {
        std::vector<RunEntry> Runs;
        std::vector<std::pair<uint64_t, int64_t>> Expected;
        for (int i = 0; i < 1 + static_cast<int>(Engine() % 8); ++i) {
            const int Bits = static_cast<int>(Engine() % 48) + 1;
            RunEntry Run{1 + (Engine() >> (64 - Bits)), static_cast<int64_t>(Engine() >> (64 - Bits)), Engine() % 4 == 0};
            Runs.push_back(Run);
            Expected.emplace_back(Run.Length, Run.Sparse ? -1 : Run.Lcn);
        }
        const Bytes Pairs = EncodeMappingPairs(Runs);
        EXPECT_EQ(DecodePairs(Pairs), Expected);
        EXPECT_EQ(Pairs.back(), 0);
    }
}

TEST(ImageBuilderProtection, RoundTripsRecordsAndIndexBlocks) {
    struct Case {
        size_t Length;
        uint16_t UsaOffset;
    };
    for (const Case& C : {Case{RecordSize, RecordUsaOffset}, Case{4096, IndexBlockUsaOffset}}) {
        const Bytes Original = Random(C.Length, static_cast<uint32_t>(C.Length));
        Bytes Buffer = Original;
        ApplyProtection(Buffer.data(), Buffer.size(), C.UsaOffset, 0xBEEF);
        const size_t Sectors = C.Length / SectorSize;
        EXPECT_EQ(Get16(Buffer, C.UsaOffset), 0xBEEF);
        for (size_t i = 1; i <= Sectors; ++i) {
            EXPECT_EQ(Get16(Buffer, i * SectorSize - 2), 0xBEEF) << "sector " << i - 1;
            EXPECT_EQ(Get16(Buffer, C.UsaOffset + 2 * i), Get16(Original, i * SectorSize - 2));
        }
        // Nothing but the array and the sector ends changed.
        for (size_t i = 0; i < C.Length; ++i) {
            const bool Array = i >= C.UsaOffset && i < C.UsaOffset + 2 * (Sectors + 1);
            const bool SectorEnd = i % SectorSize >= SectorSize - 2;
            if (!Array && !SectorEnd) {
                ASSERT_EQ(Buffer[i], Original[i]) << "byte " << i;
            }
        }
        ASSERT_TRUE(Unprotect(Buffer, C.UsaOffset));
        for (size_t i = 0; i < C.Length; ++i) {
            const bool Array = i >= C.UsaOffset && i < C.UsaOffset + 2 * (Sectors + 1);
            if (!Array) {
                ASSERT_EQ(Buffer[i], Original[i]) << "byte " << i;
            }
        }
    }

    Bytes Small(1000);
    EXPECT_THROW(ApplyProtection(Small.data(), Small.size(), 0x30, 1), std::invalid_argument);
    Bytes One(512);
    EXPECT_THROW(ApplyProtection(One.data(), One.size(), 510, 1), std::invalid_argument);
}

TEST(ImageBuilderAttributes, ResidentAndNonResidentLayout) {
    AttributeFields Named = ResidentAttribute(TypeData, Bytes{1, 2, 3}, u"ads");
    Named.Instance = 7;
    const Bytes Resident = BuildAttributeRecord(Named);
    EXPECT_EQ(Get32(Resident, 0x00), TypeData);
    EXPECT_EQ(Get32(Resident, 0x04), Resident.size());
    EXPECT_EQ(Resident.size(), 0x28u); // 0x18 header, name to 0x1E, value at 0x20, 3 bytes, padded
    EXPECT_EQ(Resident[0x08], 0);
    EXPECT_EQ(Resident[0x09], 3);
    EXPECT_EQ(Get16(Resident, 0x0A), 0x18);
    EXPECT_EQ(Get16(Resident, 0x0E), 7);
    EXPECT_EQ(Get32(Resident, 0x10), 3u);
    EXPECT_EQ(Get16(Resident, 0x14), 0x20);
    EXPECT_EQ(Get16(Resident, 0x18), u'a');
    EXPECT_EQ(Get16(Resident, 0x1C), u's');
    EXPECT_EQ(Resident[0x20], 1);
    EXPECT_EQ(Resident[0x22], 3);
    EXPECT_EQ(BuildAttributeRecord(ResidentAttribute(TypeFileName, FileName(0, u"x")))[0x16], 1); // indexed

    const std::vector<RunEntry> Runs{{16, 0x100}, {16, 0, true}};
    const AttributeFields Compressed = NonResidentAttribute(TypeData, Runs, 4096, 100000, u"s", AttrFlagCompressed);
    EXPECT_EQ(Compressed.HighestVcn, 31u);
    EXPECT_EQ(Compressed.AllocatedLength, 32u * 4096);
    EXPECT_EQ(Compressed.TotalAllocated, 16u * 4096);
    const Bytes NonResident = BuildAttributeRecord(Compressed);
    EXPECT_EQ(NonResident[0x08], 1);
    EXPECT_EQ(Get16(NonResident, 0x0C), AttrFlagCompressed);
    EXPECT_EQ(Get16(NonResident, 0x0A), 0x48); // after total allocated
    EXPECT_EQ(Get16(NonResident, 0x20), 0x50); // name 2 bytes, then 8-aligned
    EXPECT_EQ(NonResident[0x22], 4);
    EXPECT_EQ(Get64(NonResident, 0x18), 31u);
    EXPECT_EQ(Get64(NonResident, 0x28), 32u * 4096);
    EXPECT_EQ(Get64(NonResident, 0x30), 100000u);
    EXPECT_EQ(Get64(NonResident, 0x38), 100000u);
    EXPECT_EQ(Get64(NonResident, 0x40), 16u * 4096);
    EXPECT_EQ(DecodePairs(NonResident, 0x50), (std::vector<std::pair<uint64_t, int64_t>>{{16, 0x100}, {16, -1}}));
    EXPECT_EQ(NonResident.size() % 8, 0u);

    const Bytes Plain = BuildAttributeRecord(NonResidentAttribute(TypeData, {}, 4096, 0));
    EXPECT_EQ(Get16(Plain, 0x0A), 0x40);
    EXPECT_EQ(Get16(Plain, 0x20), 0x40);
    EXPECT_EQ(Get64(Plain, 0x18), ~uint64_t{0}); // empty: highest VCN -1
    EXPECT_EQ(Plain.size(), 0x48u);
}

// Reads record Segment from an image by following $MFT's own $DATA runs, as
// a reader would after loading record 0 from the boot sector's MFT LCN.
Bytes ReadRecordThroughMft(const Bytes& Image, uint64_t Segment) {
    const uint32_t Bpc = Get16(Image, 0x0B) * Image[0x0D];
    Bytes Zero(Image.begin() + static_cast<ptrdiff_t>(Get64(Image, 0x30) * Bpc),
               Image.begin() + static_cast<ptrdiff_t>(Get64(Image, 0x30) * Bpc + RecordSize));
    if (!Unprotect(Zero, Get16(Zero, 0x04))) {
        return {};
    }
    size_t Offset = Get16(Zero, 0x14);
    while (Get32(Zero, Offset) != TypeData) {
        Offset += Get32(Zero, Offset + 4);
    }
    std::vector<uint64_t> Lcns; // per VCN
    for (const auto& [Length, Lcn] : DecodePairs(Zero, Offset + Get16(Zero, Offset + 0x20))) {
        for (uint64_t i = 0; i < Length; ++i) {
            Lcns.push_back(static_cast<uint64_t>(Lcn) + i);
        }
    }
    Bytes Record;
    for (uint64_t Byte = Segment * RecordSize; Byte < (Segment + 1) * RecordSize; ++Byte) {
        Record.push_back(Image.at(Lcns.at(Byte / Bpc) * Bpc + Byte % Bpc));
    }
    if (!Unprotect(Record, Get16(Record, 0x04))) {
        return {};
    }
    return Record;
}

TEST(ImageBuilderVolume, BootSectorAndSystemRecords) {
    VolumeBuilder Volume;
    const Bytes Image = Volume.Build();
    ASSERT_EQ(Image.size(), 1024u * 4096);
    EXPECT_EQ(std::memcmp(&Image[3], "NTFS    ", 8), 0);
    EXPECT_EQ(Get16(Image, 0x0B), 512);
    EXPECT_EQ(Image[0x0D], 8);
    EXPECT_EQ(Get64(Image, 0x28), 1024u * 8);
    EXPECT_EQ(Get64(Image, 0x30), 4u);
    EXPECT_EQ(Get64(Image, 0x38), Volume.MftMirrorLcn());
    EXPECT_EQ(Image[0x40], 0xF6);
    EXPECT_EQ(Image[0x44], 1);
    EXPECT_EQ(Image[0x1FE], 0x55);
    EXPECT_EQ(Image[0x1FF], 0xAA);
    EXPECT_EQ(Volume.RecordOffset(3), 4u * 4096 + 3 * 1024);

    const Bytes Mft = ReadRecordThroughMft(Image, 0);
    ASSERT_FALSE(Mft.empty());
    // $MFT: data size = records x 1024, and the resident $BITMAP marks 0, 3..6.
    size_t Offset = Get16(Mft, 0x14);
    uint64_t DataSize = 0;
    Bytes Bitmap;
    while (Get32(Mft, Offset) != TypeEnd) {
        if (Get32(Mft, Offset) == TypeData) {
            DataSize = Get64(Mft, Offset + 0x30);
        }
        if (Get32(Mft, Offset) == TypeBitmap) {
            const size_t Value = Offset + Get16(Mft, Offset + 0x14);
            Bitmap.assign(Mft.begin() + static_cast<ptrdiff_t>(Value),
                          Mft.begin() + static_cast<ptrdiff_t>(Value + Get32(Mft, Offset + 0x10)));
        }
        Offset += Get32(Mft, Offset + 4);
    }
    EXPECT_EQ(DataSize, 64u * 1024);
    EXPECT_EQ(Bitmap, (Bytes{0x79, 0, 0, 0, 0, 0, 0, 0}));

    const Bytes VolumeRecord = ReadRecordThroughMft(Image, 3);
    ASSERT_FALSE(VolumeRecord.empty());
    EXPECT_EQ(Get16(VolumeRecord, 0x10), 3);
    EXPECT_EQ(Get16(VolumeRecord, 0x2C), 3);
    // The mirror holds the first four records as written in the MFT.
    const uint64_t Mirror = Volume.MftMirrorLcn() * 4096;
    EXPECT_EQ(std::memcmp(&Image[Mirror], &Image[4 * 4096], 4 * RecordSize), 0);
    // A record never created is left as zeros.
    EXPECT_EQ(Bytes(Image.begin() + static_cast<ptrdiff_t>(Volume.RecordOffset(7)),
                    Image.begin() + static_cast<ptrdiff_t>(Volume.RecordOffset(7) + RecordSize)),
              Bytes(RecordSize, 0));
}

TEST(ImageBuilderVolume, FragmentedMftWithSmallClusters) {
    // 512-byte clusters: each record spans two clusters; 3 fragments of an
    // odd number of clusters make a record straddle two runs.
    VolumeOptions Options;
    Options.BytesPerCluster = 512;
    Options.TotalClusters = 4096;
    Options.MftRecordCount = 80;
    Options.MftFragments = 3;
    Options.NonResidentMftBitmap = true;
    VolumeBuilder Volume(Options);
    ASSERT_EQ(Volume.MftRuns().size(), 3u);
    EXPECT_EQ(Volume.MftRuns()[0].Length, 53u);
    // Really fragmented: a reader that reads on past the first run fails.
    EXPECT_GT(static_cast<uint64_t>(Volume.MftRuns()[1].Lcn), Volume.MftRuns()[0].Lcn + 53u);

    const Bytes Payload = Random(3000, 1);
    RecordBuilder& File = Volume.Record(79);
    File.Add(ResidentAttribute(TypeFileName, FileName(FileReference(5, 5), u"f")));
    File.Add(Volume.StoreNonResident(Payload));
    Volume.Record(26).Add(ResidentAttribute(TypeData, Bytes{'x'}));
    Volume.SetInUse(3, false);
    const Bytes Image = Volume.Build();
    EXPECT_EQ(Image[0x0D], 1);
    EXPECT_EQ(Image[0x40], 2);
    EXPECT_EQ(Image[0x44], 8);

    const Bytes Straddling = ReadRecordThroughMft(Image, 26); // clusters 52 and 53
    ASSERT_FALSE(Straddling.empty());
    EXPECT_EQ(Get32(Straddling, 0x38), TypeData);

    const Bytes Record = ReadRecordThroughMft(Image, 79);
    ASSERT_FALSE(Record.empty());
    size_t Offset = Get16(Record, 0x14);
    Offset += Get32(Record, Offset + 4); // past $FILE_NAME to $DATA
    ASSERT_EQ(Get32(Record, Offset), TypeData);
    const auto Runs = DecodePairs(Record, Offset + Get16(Record, Offset + 0x20));
    ASSERT_EQ(Runs.size(), 1u);
    EXPECT_EQ(Runs[0].first, 6u);
    EXPECT_EQ(Get64(Record, Offset + 0x30), Payload.size());
    EXPECT_EQ(std::memcmp(&Image[static_cast<size_t>(Runs[0].second) * 512], Payload.data(), Payload.size()), 0);

    // The MFT's own $BITMAP is non-resident: second run list of record 0.
    const Bytes Mft = ReadRecordThroughMft(Image, 0);
    Offset = Get16(Mft, 0x14);
    while (Get32(Mft, Offset) != TypeBitmap) {
        Offset += Get32(Mft, Offset + 4);
    }
    ASSERT_EQ(Mft[Offset + 8], 1);
    const auto BitmapRuns = DecodePairs(Mft, Offset + Get16(Mft, Offset + 0x20));
    ASSERT_EQ(BitmapRuns.size(), 1u);
    const uint8_t* Bits = &Image[static_cast<size_t>(BitmapRuns[0].second) * 512];
    EXPECT_EQ(Bits[0], 0x71); // 0, 4, 5, 6; 3 cleared
    EXPECT_EQ(Bits[3], 0x04); // 26
    EXPECT_EQ(Bits[9], 0x80); // 79
}

} // namespace
