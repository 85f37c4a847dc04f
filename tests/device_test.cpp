// Sector-aligned reads of volume devices, shown on an ordinary file: every
// unaligned request is rounded out to whole sectors and the asked bytes come
// back, up to the end of the file.
#include <algorithm>

#include <gtest/gtest.h>

#include "device.h"
#include "test_support.h"

using namespace testing_support;

TEST(DeviceReads, UnalignedRequestsRoundOutToWholeSectors)
{
    TempDir Dir;
    std::vector<uint8_t> Bytes(3 * 4096 + 100);
    for (size_t i = 0; i < Bytes.size(); i++)
        Bytes[i] = static_cast<uint8_t>(i * 7 + i / 251);
    WriteBytes(Dir / "disk", Bytes);
    std::u16string Name = Wide(Dir / "disk");
    HANDLE File = CreateFileW(Name.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(File, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Device_SectorSize(File), 1u);
    LARGE_INTEGER Size{};
    ASSERT_TRUE(Device_GetSize(File, &Size));
    EXPECT_EQ(Size.QuadPart, static_cast<LONGLONG>(Bytes.size()));

    // {offset, length, sector size}: the boot sector of a 4096-byte-sector
    // disk, ranges across sector boundaries, aligned ones, and the file's end.
    struct Case { uint64_t Offset; DWORD Length; DWORD SectorSize; };
    for (Case Read : {Case{0, 512, 4096}, Case{4000, 200, 4096}, Case{1, 3 * 4096, 4096}, Case{4096, 4096, 4096},
                      Case{3 * 4096 + 50, 4096, 4096}, Case{513, 1000, 512}, Case{8000, 10, 1}}) {
        std::vector<uint8_t> Got(Read.Length, 0xEE);
        DWORD Done = 0;
        ASSERT_TRUE(Device_ReadAt(File, Read.Offset, Got.data(), Read.Length, Read.SectorSize, &Done)) << Read.Offset;
        size_t Expected = std::min<size_t>(Read.Length, Bytes.size() - Read.Offset);
        ASSERT_EQ(Done, Expected) << Read.Offset;
        EXPECT_TRUE(std::equal(Got.begin(), Got.begin() + Expected, Bytes.begin() + Read.Offset)) << Read.Offset;
    }
    CloseHandle(File);
}
