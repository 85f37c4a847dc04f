// The volume handle: boot sector checks, the three modes of cluster reads,
// the scratch bitmap, the log dump and replay.
#include <cstring>
#include <filesystem>

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "image_builder.h"
#include "ntfstool.h"
#include "test_support.h"
#include "volume.h"

using namespace testing_support;
using testimage::Bytes;
using testimage::VolumeBuilder;

namespace {

struct OpenResult {
    DWORD Error;
    NtfsVolume* Volume;
};

OpenResult OpenVolume(const std::string& Device, const std::string& Log = "", bool Lock = false)
{
    std::u16string DeviceName = Wide(Device);
    std::u16string LogName = Wide(Log);
    NtfsVolume* Volume = reinterpret_cast<NtfsVolume*>(1);
    DWORD Error = NtfsVolume_Open(Device.empty() ? nullptr : DeviceName.c_str(), Log.empty() ? nullptr : LogName.c_str(),
                                  &Volume, Lock ? 1 : 0);
    return {Error, Volume};
}

// Opens an image and keeps it open for the test.
class OpenImage {
public:
    explicit OpenImage(const Bytes& Image, const std::string& Log = "") : File_(Image)
    {
        ConsoleCapture Quiet;
        OpenResult Result = OpenVolume(File_.Path(), Log);
        Error = Result.Error;
        Volume = Result.Volume;
    }
    ~OpenImage()
    {
        if (Volume != nullptr)
            NtfsVolume_Close(Volume);
    }
    DWORD Error;
    NtfsVolume* Volume;

private:
    testimage::TempImage File_;
};

DWORD OpenError(const Bytes& Image)
{
    OpenImage Opened(Image);
    EXPECT_EQ(Opened.Error == ERROR_SUCCESS, Opened.Volume != nullptr);
    return Opened.Error;
}

Bytes WithBootField(Bytes Image, size_t Offset, std::initializer_list<uint8_t> Value)
{
    std::copy(Value.begin(), Value.end(), Image.begin() + static_cast<long>(Offset));
    return Image;
}

Bytes ClusterOf(const Bytes& Image, uint64_t Lcn, uint32_t BytesPerCluster)
{
    return Bytes(Image.begin() + static_cast<long>(Lcn * BytesPerCluster),
                 Image.begin() + static_cast<long>((Lcn + 1) * BytesPerCluster));
}

// Records a log of the clusters in Reads (plus what the open reads) from Image.
void RecordLog(const Bytes& Image, const std::string& Base, const std::vector<uint64_t>& Reads)
{
    OpenImage Recording(Image, Base);
    ASSERT_EQ(Recording.Error, ERROR_SUCCESS);
    std::vector<uint8_t> Cluster(NtfsVolume_GetBytesPerCluster(Recording.Volume));
    for (uint64_t Lcn : Reads)
        ASSERT_EQ(NtfsVolume_ReadClusters(Recording.Volume, Lcn, 1, Cluster.data()), ERROR_SUCCESS);
    ConsoleCapture Quiet;
    ASSERT_EQ(NtfsVolume_DumpLog(Recording.Volume), ERROR_SUCCESS);
}

} // namespace

TEST(VolumeOpen, BootSectorAndGeometryChecks)
{
    Bytes Image = VolumeBuilder(4096, 256).Build();
    EXPECT_EQ(OpenError(Image), ERROR_SUCCESS);
    EXPECT_EQ(OpenError(WithBootField(Image, 0x03, {'N', 'T', 'F', 'S', 0, 0, 0, 0})), ERROR_UNRECOGNIZED_VOLUME);
    EXPECT_EQ(OpenError(WithBootField(Image, 0x0D, {0})), ERROR_INVALID_DATA);
    EXPECT_EQ(OpenError(WithBootField(Image, 0x0D, {3})), ERROR_INVALID_DATA);
    EXPECT_EQ(OpenError(WithBootField(Image, 0x0B, {0x00, 0x10, 1})), ERROR_INVALID_DATA) << "4096-byte sectors";
    EXPECT_EQ(OpenError(WithBootField(Image, 0x28, {7, 0, 0, 0, 0, 0, 0, 0})), ERROR_INVALID_DATA) << "no cluster";
    EXPECT_EQ(OpenError(Bytes(Image.begin(), Image.begin() + 511)), ERROR_READ_FAULT);

    NtfsVolume* Volume = reinterpret_cast<NtfsVolume*>(1);
    EXPECT_EQ(NtfsVolume_Open(nullptr, nullptr, &Volume, 0), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(Volume, nullptr);
    EXPECT_EQ(OpenVolume("/nonexistent/volume").Error, ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(NtfsVolume_Close(nullptr), ERROR_INVALID_PARAMETER);
}

TEST(VolumeOpen, EveryClusterSizeAndTheGeometryItReports)
{
    for (uint32_t BytesPerCluster = 512; BytesPerCluster <= 65536; BytesPerCluster *= 2) {
        VolumeBuilder Builder(BytesPerCluster, 128, 16);
        Bytes Image = Builder.Build();
        OpenImage Opened(Image);
        ASSERT_EQ(Opened.Error, ERROR_SUCCESS) << BytesPerCluster;
        NtfsVolume* Volume = Opened.Volume;
        EXPECT_EQ(Volume->BytesPerCluster, BytesPerCluster);
        EXPECT_EQ(Volume->SectorsPerCluster, BytesPerCluster / 512);
        EXPECT_EQ(Volume->TotalClusters, 128u);
        EXPECT_EQ(Volume->MftLcn, Builder.MftLcn());
        EXPECT_EQ(Volume->MajorVersion, 3);
        EXPECT_EQ(Volume->MinorVersion, 1);
        EXPECT_EQ(memcmp(Volume->SerialNumber, Image.data() + 0x48, 8), 0);

        ConsoleCapture Capture;
        NtfsVolume_Print(Volume);
        EXPECT_NE(Capture.Text().find("    Serial Number            : ef be ad de e5 fe 0f 1c\n"), std::string::npos);
        EXPECT_NE(Capture.Text().find("    Total Number Of Clusters : 0x0000000000000080\n"), std::string::npos);
    }
}

TEST(VolumeOpen, AllocationFailuresAreReported)
{
    SKIP_WITHOUT_FAULT_POINTS();
    FaultGuard Guard;
    Bytes Image = VolumeBuilder(4096, 256).Build();
    testimage::TempImage File(Image);
    for (uint32_t Skip = 0; Skip < 200; Skip++) {
        Fault_Arm(FaultPoint::Alloc, Skip, FaultKind::Fail, 0);
        OpenResult Result = OpenVolume(File.Path());
        Fault_DisarmAll();
        if (Result.Error == ERROR_SUCCESS) {
            NtfsVolume_Close(Result.Volume);
            break;
        }
        EXPECT_EQ(Result.Error, ERROR_OUTOFMEMORY) << "allocation " << Skip;
        EXPECT_EQ(Result.Volume, nullptr);
    }
}

TEST(ClusterReads, RangeAndArgumentChecks)
{
    Bytes Image = VolumeBuilder(4096, 256).Build();
    OpenImage Opened(Image);
    ASSERT_EQ(Opened.Error, ERROR_SUCCESS);
    NtfsVolume* Volume = Opened.Volume;
    std::vector<uint8_t> Buffer(3 * 4096, 0xEE);

    // The volume's last cluster is readable; one past it is not.
    EXPECT_EQ(NtfsVolume_ReadClusters(Volume, 255, 1, Buffer.data()), ERROR_SUCCESS);
    EXPECT_EQ(Bytes(Buffer.begin(), Buffer.begin() + 4096), ClusterOf(Image, 255, 4096));
    EXPECT_EQ(NtfsVolume_ReadClusters(Volume, 254, 3, Buffer.data()), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(NtfsVolume_ReadClusters(Volume, 256, 0, Buffer.data()), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(NtfsVolume_ReadClusters(Volume, ~0ull, 2, Buffer.data()), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(NtfsVolume_ReadClusters(Volume, 0, 1, nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(NtfsVolume_ReadClusters(Volume, 0, 0, nullptr), ERROR_INVALID_PARAMETER);

    std::fill(Buffer.begin(), Buffer.end(), 0xEE);
    EXPECT_EQ(NtfsVolume_ReadClusters(Volume, 10, 0, Buffer.data()), ERROR_SUCCESS);
    EXPECT_EQ(Buffer[0], 0xEE);
    EXPECT_EQ(NtfsVolume_ReadClusters(Volume, 0, 3, Buffer.data()), ERROR_SUCCESS);
    EXPECT_EQ(Bytes(Buffer.begin() + 8192, Buffer.end()), ClusterOf(Image, 2, 4096));

    // A request of 4 GiB or more is refused rather than cut to 32 bits.
    NtfsVolume Huge = *Volume;
    Huge.BytesPerCluster = 65536;
    Huge.TotalClusters = 1ull << 40;
    EXPECT_EQ(NtfsVolume_ReadClusters(&Huge, 0, 65536, Buffer.data()), ERROR_INVALID_PARAMETER);

    NtfsVolume Stale = *Volume;
    Stale.Tag = 0;
    EXPECT_EQ(NtfsVolume_ReadClusters(&Stale, 0, 1, Buffer.data()), ERROR_INVALID_PARAMETER);
}

TEST(ClusterReads, DeviceFailuresAreReportedAndMarkNothing)
{
    SKIP_WITHOUT_FAULT_POINTS();
    FaultGuard Guard;
    TempDir Dir;
    Bytes Image = VolumeBuilder(4096, 256).Build();
    OpenImage Recording(Image, Dir / "log");
    ASSERT_EQ(Recording.Error, ERROR_SUCCESS);
    NtfsVolume* Volume = Recording.Volume;
    std::vector<uint8_t> Buffer(4096);

    // Each fault stays armed for the read-ahead attempt and the exact read.
    Fault_Arm(FaultPoint::Read, 0, FaultKind::Fail, ERROR_IO_DEVICE, true);
    EXPECT_EQ(NtfsVolume_ReadClusters(Volume, 200, 1, Buffer.data()), ERROR_IO_DEVICE);
    Fault_Arm(FaultPoint::Read, 0, FaultKind::Short, 0, true);
    EXPECT_EQ(NtfsVolume_ReadClusters(Volume, 201, 1, Buffer.data()), ERROR_READ_FAULT);
    Fault_Arm(FaultPoint::Read, 0, FaultKind::Short, 0, false);
    Fault_Arm(FaultPoint::Seek, 0, FaultKind::Fail, ERROR_NEGATIVE_SEEK, true);
    EXPECT_EQ(NtfsVolume_ReadClusters(Volume, 202, 1, Buffer.data()), ERROR_NEGATIVE_SEEK);
    Fault_DisarmAll();
    EXPECT_EQ(NtfsVolume_ReadClusters(Volume, 203, 1, Buffer.data()), ERROR_SUCCESS);

    for (uint64_t Lcn = 200; Lcn <= 203; Lcn++) {
        BOOLEAN IsSet = 7;
        ASSERT_EQ(BitmapFile_TestBit(Volume->AccessedClusterBitmap, Lcn, &IsSet), ERROR_SUCCESS);
        EXPECT_EQ(IsSet, Lcn == 203 ? 1 : 0) << Lcn;
    }
    BOOLEAN IsSet = 0;
    EXPECT_EQ(BitmapFile_TestBit(Volume->AccessedClusterBitmap, 0, &IsSet), ERROR_SUCCESS);
    EXPECT_EQ(IsSet, 1) << "cluster 0 is marked by the open";
}

TEST(VolumeLog, RecordAndReplay)
{
    TempDir Dir;
    VolumeBuilder Builder(4096, 256);
    Bytes Image = Builder.Build();
    std::string Base = Dir / "log";
    RecordLog(Image, Base, {100, 101, 101, 150});
    EXPECT_FALSE(Exists(Base + ".bmp"));

    // Every recorded cluster is stored once, in ascending order.
    Bytes Index = ReadBytes(Base + ".idx");
    Bytes Data = ReadBytes(Base + ".dat");
    std::vector<uint64_t> Clusters;
    for (size_t i = 0; i + 8 <= Index.size(); i += 8)
        Clusters.push_back(testimage::Get64(Index, i));
    ASSERT_GE(Clusters.size(), 4u);
    EXPECT_EQ(Clusters.front(), 0u);
    EXPECT_TRUE(std::is_sorted(Clusters.begin(), Clusters.end()));
    EXPECT_EQ(std::adjacent_find(Clusters.begin(), Clusters.end()), Clusters.end());
    EXPECT_EQ(std::count(Clusters.begin(), Clusters.end(), 101u), 1);
    EXPECT_EQ(Data.size(), Clusters.size() * 4096);

    OpenResult Result = OpenVolume("", Base);
    ASSERT_EQ(Result.Error, ERROR_SUCCESS);
    NtfsVolume* Volume = Result.Volume;
    EXPECT_EQ(Volume->NtVolumeHandle, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Volume->MajorVersion, 3);
    std::vector<uint8_t> Buffer(3 * 4096, 0xEE);
    EXPECT_EQ(NtfsVolume_ReadClusters(Volume, 100, 2, Buffer.data()), ERROR_SUCCESS);
    EXPECT_EQ(Bytes(Buffer.begin() + 4096, Buffer.begin() + 8192), ClusterOf(Image, 101, 4096));
    // Three clusters of which only the first two were recorded: the two are
    // copied, then the missing one fails.
    std::fill(Buffer.begin(), Buffer.end(), 0xEE);
    EXPECT_EQ(NtfsVolume_ReadClusters(Volume, 100, 3, Buffer.data()), ERROR_READ_FAULT);
    EXPECT_EQ(Bytes(Buffer.begin(), Buffer.begin() + 4096), ClusterOf(Image, 100, 4096));
    EXPECT_EQ(Buffer[2 * 4096], 0xEE);
    EXPECT_EQ(NtfsVolume_ReadClusters(Volume, 150, 0, Buffer.data()), ERROR_SUCCESS);
    ConsoleCapture Capture;
    EXPECT_EQ(NtfsVolume_DumpLog(Volume), ERROR_INVALID_FUNCTION);
    EXPECT_EQ(Capture.Text(), "\n");
    EXPECT_EQ(NtfsVolume_Close(Volume), ERROR_SUCCESS);

    // A second recording under the same name fails and leaves no scratch file.
    OpenImage Again(Image, Base);
    EXPECT_EQ(Again.Error, ERROR_FILE_EXISTS);
    EXPECT_FALSE(Exists(Base + ".bmp"));
}

// A damaged boot sector claiming 2^40 sectors: the scratch bitmap covers
// the clusters the image holds, not the 16 GiB the claim would need, and the
// log still replays.
TEST(VolumeLog, BitmapCoversNoMoreThanTheDevice)
{
    TempDir Dir;
    VolumeBuilder Builder(4096, 256);
    testimage::Put64(Builder.Boot(), 0x28, 1ull << 40);
    Bytes Image = Builder.Build();
    std::string Base = Dir / "log";
    {
        OpenImage Recording(Image, Base);
        ASSERT_EQ(Recording.Error, ERROR_SUCCESS);
        EXPECT_EQ(Recording.Volume->TotalClusters, 1ull << 37);
        EXPECT_EQ(Recording.Volume->LoggedClusters, 256u);
        std::vector<uint8_t> Cluster(4096);
        ASSERT_EQ(NtfsVolume_ReadClusters(Recording.Volume, 255, 1, Cluster.data()), ERROR_SUCCESS);
        EXPECT_NE(NtfsVolume_ReadClusters(Recording.Volume, 256, 1, Cluster.data()), ERROR_SUCCESS);
        ConsoleCapture Capture;
        ASSERT_EQ(NtfsVolume_DumpLog(Recording.Volume), ERROR_SUCCESS);
        EXPECT_NE(Capture.Text().find("\r99 percent is done    \n"), std::string::npos);
    }
    Bytes Index = ReadBytes(Base + ".idx");
    ASSERT_GE(Index.size(), 16u);
    EXPECT_EQ(testimage::Get64(Index, Index.size() - 8), 255u);
    OpenResult Replay = OpenVolume("", Base);
    ASSERT_EQ(Replay.Error, ERROR_SUCCESS);
    std::vector<uint8_t> Buffer(4096);
    EXPECT_EQ(NtfsVolume_ReadClusters(Replay.Volume, 255, 1, Buffer.data()), ERROR_SUCCESS);
    EXPECT_EQ(Bytes(Buffer.begin(), Buffer.end()), ClusterOf(Image, 255, 4096));
    NtfsVolume_Close(Replay.Volume);
}

// A bitmap longer than one block of the dump's reads (600,000 clusters: a
// sparse 2.3 GiB image whose clusters past the builder's are zeros): the
// clusters on both sides of the block boundary and the last one are logged.
TEST(VolumeLog, DumpWalksBitmapsOfSeveralBlocks)
{
    TempDir Dir;
    constexpr uint64_t Clusters = 600000;
    VolumeBuilder Builder(4096, 256);
    testimage::Put64(Builder.Boot(), 0x28, Clusters * 8);
    std::string Path = Dir / "sparse.img";
    WriteBytes(Path, Builder.Build());
    std::error_code Grown;
    std::filesystem::resize_file(Path, Clusters * 4096, Grown);
    ASSERT_FALSE(Grown) << Grown.message();
    std::u16string Name = Wide(Path);
    std::u16string Log = Wide(Dir / "log");
    NtfsVolume* Volume = nullptr;
    {
        ConsoleCapture Quiet;
        ASSERT_EQ(NtfsVolume_Open(Name.c_str(), Log.c_str(), &Volume, 0), ERROR_SUCCESS);
    }
    EXPECT_EQ(Volume->LoggedClusters, Clusters);
    const uint64_t Reads[] = {524287, 524288, Clusters - 1};
    std::vector<uint8_t> Cluster(4096);
    for (uint64_t Lcn : Reads)
        ASSERT_EQ(NtfsVolume_ReadClusters(Volume, Lcn, 1, Cluster.data()), ERROR_SUCCESS);
    {
        ConsoleCapture Quiet;
        ASSERT_EQ(NtfsVolume_DumpLog(Volume), ERROR_SUCCESS);
    }
    NtfsVolume_Close(Volume);
    Bytes Index = ReadBytes(Dir / "log.idx");
    ASSERT_GE(Index.size(), 32u);
    for (size_t i = 0; i < 3; i++)
        EXPECT_EQ(testimage::Get64(Index, Index.size() - 24 + 8 * i), Reads[i]);
}

TEST(VolumeLog, ReplayRefusesDamagedLogs)
{
    TempDir Dir;
    Bytes Image = VolumeBuilder(4096, 256).Build();
    std::string Base = Dir / "good";
    RecordLog(Image, Base, {100});
    Bytes Index = ReadBytes(Base + ".idx");
    Bytes Data = ReadBytes(Base + ".dat");
    size_t Entries = Index.size() / 8;

    auto ReplayError = [&](const Bytes& IndexBytes, const Bytes& DataBytes) {
        static int Serial = 0;
        std::string Name = Dir / ("case" + std::to_string(Serial++));
        WriteBytes(Name + ".idx", IndexBytes);
        WriteBytes(Name + ".dat", DataBytes);
        OpenResult Result = OpenVolume("", Name);
        if (Result.Volume != nullptr)
            NtfsVolume_Close(Result.Volume);
        return Result.Error;
    };

    EXPECT_EQ(ReplayError(Index, Data), ERROR_SUCCESS);
    for (size_t Size = 0; Size < 8; Size++)
        EXPECT_EQ(ReplayError(Bytes(Index.begin(), Index.begin() + static_cast<long>(Size)), Data), ERROR_INVALID_DATA);
    // The derived cluster size tolerates up to 8N - 1 extra data bytes.
    Bytes Longer = Data;
    Longer.resize(Data.size() + 8 * Entries - 1, 0);
    EXPECT_EQ(ReplayError(Index, Longer), ERROR_SUCCESS);
    Longer.push_back(0);
    EXPECT_EQ(ReplayError(Index, Longer), ERROR_INVALID_DATA);
    EXPECT_EQ(ReplayError(Index, Bytes(Data.begin(), Data.end() - 1)), ERROR_INVALID_DATA);
    EXPECT_EQ(ReplayError(Index, Bytes(Data.begin(), Data.begin() + 511)), ERROR_READ_FAULT);
    // A partial trailing entry still enters the derived cluster size.
    Bytes Ragged = Index;
    Ragged.push_back(0);
    EXPECT_EQ(ReplayError(Ragged, Data), ERROR_INVALID_DATA);

    Bytes NotZeroFirst = Index;
    NotZeroFirst[0] = 1;
    EXPECT_EQ(ReplayError(NotZeroFirst, Bytes{}), ERROR_INVALID_DATA);
    Bytes Unsorted = Index;
    ASSERT_GE(Entries, 3u);
    std::swap_ranges(Unsorted.begin() + 8, Unsorted.begin() + 16, Unsorted.begin() + 16);
    EXPECT_EQ(ReplayError(Unsorted, Data), ERROR_INVALID_DATA);
    EXPECT_EQ(OpenVolume("", Dir / "absent").Error, ERROR_FILE_NOT_FOUND);

    // A log on read-only media still replays.
    chmod((Base + ".dat").c_str(), 0444);
    chmod((Base + ".idx").c_str(), 0444);
    OpenResult ReadOnly = OpenVolume("", Base);
    EXPECT_EQ(ReadOnly.Error, ERROR_SUCCESS);
    if (ReadOnly.Volume != nullptr)
        NtfsVolume_Close(ReadOnly.Volume);
}

TEST(VolumeLog, BitmapFileOperations)
{
    FaultGuard Guard;
    TempDir Dir;
    std::u16string Name = Wide(Dir / "bits.bmp");
    // Shared for reading, so that the test can read the file back meanwhile.
    HANDLE File = CreateFileW(Name.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW, 0,
                              nullptr);
    ASSERT_NE(File, INVALID_HANDLE_VALUE);
    {
        ConsoleCapture Capture;
        EXPECT_EQ(BitmapFile_Initialize(File, 0), ERROR_INVALID_PARAMETER);
        EXPECT_EQ(Capture.Text(), "Initializing bitmap file...");
    }
    {
        ConsoleCapture Capture;
        ASSERT_EQ(BitmapFile_Initialize(File, 43), ERROR_SUCCESS);
        EXPECT_EQ(Capture.Text(), "Initializing bitmap file...\rInitializing bitmap file... done              \n");
    }
    EXPECT_EQ(ReadBytes(Dir / "bits.bmp"), Bytes(6, 0));
    EXPECT_EQ(BitmapFile_SetBit(File, 42, TRUE), ERROR_SUCCESS);
    EXPECT_EQ(BitmapFile_SetBit(File, 0, TRUE), ERROR_SUCCESS);
    EXPECT_EQ(BitmapFile_SetBit(File, 9, TRUE), ERROR_SUCCESS);
    EXPECT_EQ(BitmapFile_SetBit(File, 9, FALSE), ERROR_SUCCESS);
    EXPECT_EQ(ReadBytes(Dir / "bits.bmp"), (Bytes{0x01, 0, 0, 0, 0, 0x04}));
    BOOLEAN IsSet = 0;
    EXPECT_EQ(BitmapFile_TestBit(File, 42, &IsSet), ERROR_SUCCESS);
    EXPECT_EQ(IsSet, 1);
    EXPECT_EQ(BitmapFile_TestBit(File, 48, &IsSet), ERROR_READ_FAULT);
    EXPECT_EQ(BitmapFile_SetBit(File, 48, TRUE), ERROR_READ_FAULT);
    CloseHandle(File);

    // Three passes and a bit: the passes after the first show their fraction.
    std::u16string Larger = Wide(Dir / "larger.bmp");
    File = CreateFileW(Larger.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    {
        ConsoleCapture Capture;
        ASSERT_EQ(BitmapFile_Initialize(File, 8 * 12289), ERROR_SUCCESS);
        EXPECT_EQ(Capture.Text(), "Initializing bitmap file...\rInitializing bitmap file... 33.33%   "
                                  "\rInitializing bitmap file... 66.66%   \rInitializing bitmap file... 99.99%   "
                                  "\rInitializing bitmap file... done              \n");
    }
    CloseHandle(File);
    // Past 409600 bytes the passes are closer than a percent: no lines. The
    // file is sized, not written, so a failing write does not matter.
    std::u16string Largest = Wide(Dir / "largest.bmp");
    File = CreateFileW(Largest.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    {
        ConsoleCapture Capture;
        Fault_Arm(FaultPoint::Write, 0, FaultKind::Fail, ERROR_DISK_FULL, true);
        ASSERT_EQ(BitmapFile_Initialize(File, 8 * 500000), ERROR_SUCCESS);
        Fault_DisarmAll();
        EXPECT_EQ(Capture.Text(), "Initializing bitmap file...\rInitializing bitmap file... done              \n");
    }
    CloseHandle(File);
    EXPECT_EQ(ReadBytes(Dir / "largest.bmp"), Bytes(500000, 0));
}

TEST(VolumeLog, DumpProgressAndWriteFailures)
{
    FaultGuard Guard;
    TempDir Dir;
    Bytes Image = VolumeBuilder(4096, 100, 16).Build();
    {
        OpenImage Recording(Image, Dir / "small");
        ASSERT_EQ(Recording.Error, ERROR_SUCCESS);
        ConsoleCapture Capture;
        ASSERT_EQ(NtfsVolume_DumpLog(Recording.Volume), ERROR_SUCCESS);
        std::string Expected;
        for (int Percent = 1; Percent < 100; Percent++)
            Expected.append("\r").append(std::to_string(Percent)).append(" percent is done    ");
        EXPECT_EQ(Capture.Text(), Expected + "\n");
        EXPECT_EQ(Recording.Volume->Flags, VOLUME_FLAG_RECORDING) << "recording resumes after the dump";
    }
    Bytes Tiny = VolumeBuilder(4096, 40, 16).Build();
    {
        OpenImage Recording(Tiny, Dir / "tiny");
        ASSERT_EQ(Recording.Error, ERROR_SUCCESS);
        ConsoleCapture Capture;
        ASSERT_EQ(NtfsVolume_DumpLog(Recording.Volume), ERROR_SUCCESS);
        EXPECT_EQ(Capture.Text().rfind("\r2 percent is done    \r5 percent is done    \r7 percent is done    "
                                       "\r10 percent is done    ",
                                       0),
                  0u);
        EXPECT_NE(Capture.Text().find("\r97 percent is done    \n"), std::string::npos);
    }
    {
        OpenImage Recording(Image, Dir / "failing");
        ASSERT_EQ(Recording.Error, ERROR_SUCCESS);
        ConsoleCapture Quiet;
        SKIP_WITHOUT_FAULT_POINTS();
        // The entries are written, then their images fail.
        Fault_Arm(FaultPoint::Write, 1, FaultKind::Fail, ERROR_DISK_FULL);
        EXPECT_EQ(NtfsVolume_DumpLog(Recording.Volume), ERROR_DISK_FULL);
    }
    {
        OpenImage Recording(Image, Dir / "short");
        ASSERT_EQ(Recording.Error, ERROR_SUCCESS);
        ConsoleCapture Quiet;
        Fault_Arm(FaultPoint::Write, 1, FaultKind::Short, 0);
        EXPECT_EQ(NtfsVolume_DumpLog(Recording.Volume), ERROR_WRITE_FAULT);
    }
    // The failures left index entries without their images: replay refuses
    // the logs, the first for want of a boot sector.
    EXPECT_GT(ReadBytes(Dir / "failing.idx").size(), 0u);
    EXPECT_EQ(ReadBytes(Dir / "failing.dat").size(), 0u);
    EXPECT_EQ(OpenVolume("", Dir / "failing").Error, ERROR_READ_FAULT);
    EXPECT_EQ(OpenVolume("", Dir / "short").Error, ERROR_INVALID_DATA);
    {
        OpenImage Device(Image);
        ConsoleCapture Capture;
        EXPECT_EQ(NtfsVolume_DumpLog(Device.Volume), ERROR_INVALID_FUNCTION);
        EXPECT_EQ(NtfsVolume_DumpLog(nullptr), ERROR_INVALID_PARAMETER);
        EXPECT_EQ(Capture.Text(), "\n\n");
    }
}

TEST(VolumeCloseDeathTest, AFailedCloseIsAnInternalFault)
{
    SKIP_WITHOUT_FAULT_POINTS();
    Bytes Image = VolumeBuilder(4096, 256).Build();
    testimage::TempImage File(Image);
    EXPECT_DEATH(
        {
            dup2(2, 1);
            OpenResult Result = OpenVolume(File.Path());
            Fault_Arm(FaultPoint::Close, 0, FaultKind::Fail, ERROR_IO_DEVICE);
            NtfsVolume_Close(Result.Volume);
        },
        "Assertion failed: CloseHandle\\(TmpVolumeHandle->NtVolumeHandle\\), file volume.cpp, line [0-9]+");
}

TEST(ClusterReads, ReadAheadServesNeighboursAndMarksOnlyWhatWasAsked)
{
    FaultGuard Guard;
    TempDir Dir;
    Bytes Image = VolumeBuilder(4096, 256).Build();
    std::vector<uint8_t> Buffer(4096);
    {
        OpenImage Device(Image);
        // The window opens once reads run in sequence.
        ASSERT_EQ(NtfsVolume_ReadClusters(Device.Volume, 99, 1, Buffer.data()), ERROR_SUCCESS);
        ASSERT_EQ(NtfsVolume_ReadClusters(Device.Volume, 100, 1, Buffer.data()), ERROR_SUCCESS);
        // The neighbour comes from the window: a failing device does not matter.
        SKIP_WITHOUT_FAULT_POINTS();
        Fault_Arm(FaultPoint::Read, 0, FaultKind::Fail, ERROR_IO_DEVICE, true);
        ASSERT_EQ(NtfsVolume_ReadClusters(Device.Volume, 101, 1, Buffer.data()), ERROR_SUCCESS);
        EXPECT_EQ(Bytes(Buffer.begin(), Buffer.end()), ClusterOf(Image, 101, 4096));
        Fault_DisarmAll();
        // The last cluster of the volume is read through a window cut at the end.
        ASSERT_EQ(NtfsVolume_ReadClusters(Device.Volume, 254, 1, Buffer.data()), ERROR_SUCCESS);
        ASSERT_EQ(NtfsVolume_ReadClusters(Device.Volume, 255, 1, Buffer.data()), ERROR_SUCCESS);
        EXPECT_EQ(Bytes(Buffer.begin(), Buffer.end()), ClusterOf(Image, 255, 4096));
    }
    OpenImage Recording(Image, Dir / "log");
    ASSERT_EQ(Recording.Error, ERROR_SUCCESS);
    NtfsVolume* Volume = Recording.Volume;
    ASSERT_EQ(NtfsVolume_ReadClusters(Volume, 100, 1, Buffer.data()), ERROR_SUCCESS);
    ASSERT_EQ(NtfsVolume_ReadClusters(Volume, 101, 1, Buffer.data()), ERROR_SUCCESS);
    for (uint64_t Lcn = 96; Lcn < 112; Lcn++) {
        BOOLEAN IsSet = 0;
        ASSERT_EQ(BitmapFile_TestBit(Volume->AccessedClusterBitmap, Lcn, &IsSet), ERROR_SUCCESS);
        EXPECT_EQ(IsSet, Lcn == 100 || Lcn == 101 ? 1 : 0) << Lcn;
    }
}
