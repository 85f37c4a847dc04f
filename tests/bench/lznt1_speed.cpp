// Times the LZNT1 chunk decoder alone on the compressed units of one file:
// every unit that holds chunks is read into memory first, then all of them
// are decoded (best of 5 passes) and the output rate is printed in MB/s.
//
//   g++ -std=c++20 -O2 -Isrc tests/bench/lznt1_speed.cpp BUILD/libkorvex_core.a BUILD/libkorvex_platform.a -o lznt1_speed
//   ./lznt1_speed IMAGE RECORD
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "attr.h"
#include "file.h"
#include "volume.h"

int main(int argc, char** argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: %s IMAGE RECORD\n", argv[0]);
        return 2;
    }
    std::u16string Image;
    for (const char* c = argv[1]; *c != 0; c++)
        Image += static_cast<char16_t>(*c);
    NtfsVolume* Volume = nullptr;
    NtfsFile* File = nullptr;
    if (NtfsVolume_Open(Image.c_str(), nullptr, &Volume, FALSE) != ERROR_SUCCESS ||
        NtfsFile_Open(Volume, strtoull(argv[2], nullptr, 10), &File) != ERROR_SUCCESS) {
        fprintf(stderr, "cannot open %s record %s\n", argv[1], argv[2]);
        return 1;
    }
    NtfsAttribute* Data = NtfsFile_FindDataAttribute(File, 0x80, nullptr);
    uint32_t UnitBytes = COMPRESSION_UNIT_CLUSTERS * NtfsVolume_GetBytesPerCluster(Volume);
    uint64_t Units = (NtfsAttribute_GetValueLength(Data) + UnitBytes - 1) / UnitBytes;
    std::vector<std::vector<uint8_t>> Stored;
    for (uint64_t Unit = 0; Unit < Units; Unit++) {
        BOOLEAN Sparse = 0;
        NtfsAttribute_RangeHasSparseRun(Data, Unit * COMPRESSION_UNIT_CLUSTERS, COMPRESSION_UNIT_CLUSTERS, &Sparse);
        if (!Sparse)
            continue;
        std::vector<uint8_t> Bytes(UnitBytes);
        uint32_t Supplied = 0;
        NtfsAttribute_ReadClusters(Data, Unit * COMPRESSION_UNIT_CLUSTERS, COMPRESSION_UNIT_CLUSTERS, Bytes.data(),
                                   &Supplied);
        Stored.push_back(std::move(Bytes));
    }
    std::vector<uint8_t> Output(UnitBytes);
    double Best = 1e9;
    uint64_t Produced = 0;
    for (int Pass = 0; Pass < 5; Pass++) {
        Produced = 0;
        auto Start = std::chrono::steady_clock::now();
        for (const std::vector<uint8_t>& Unit : Stored) {
            uint32_t In = 0;
            uint32_t Out = 0;
            while (In + 2 <= UnitBytes && (Unit[In] | Unit[In + 1]) != 0 && Out < UnitBytes) {
                uint32_t Consumed = 0;
                uint32_t Made = 0;
                if (Lznt1_DecompressChunk(Unit.data() + In, UnitBytes - In, Output.data() + Out, UnitBytes - Out,
                                          &Consumed, &Made) != ERROR_SUCCESS)
                    break;
                In += Consumed;
                Out += 4096;
                Produced += Made;
            }
        }
        double Seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - Start).count();
        Best = Seconds < Best ? Seconds : Best;
    }
    printf("%zu compressed units, %.1f MB out, LZNT1 decoder %.0f MB/s\n", Stored.size(), Produced / 1e6,
           Produced / 1e6 / Best);
    NtfsFile_Close(File);
    NtfsVolume_Close(Volume);
    return 0;
}
