// Writes an NTFS image holding one file (record 64) of Size bytes whose $DATA
// is split into Runs runs with one free cluster between them, so that its run
// list spreads over many extension records through an attribute list.
//
//   g++ -std=c++20 -O2 -Itests tests/bench/make_fragmented.cpp tests/image_builder.cpp -o make_fragmented
//   ./make_fragmented IMAGE SIZE_MIB RUNS
#include <cstdio>
#include <cstdlib>
#include <string>

#include "image_builder.h"

using namespace testimage;

int main(int argc, char** argv)
{
    if (argc != 4) {
        fprintf(stderr, "usage: %s IMAGE SIZE_MIB RUNS\n", argv[0]);
        return 2;
    }
    const uint32_t ClusterSize = 4096;
    uint64_t Size = strtoull(argv[2], nullptr, 10) << 20;
    uint64_t RunCount = strtoull(argv[3], nullptr, 10);
    uint64_t Clusters = Size / ClusterSize;
    uint64_t PerRun = Clusters / RunCount;
    VolumeBuilder Builder(ClusterSize, Clusters + RunCount * 2 + 4096, 1024);

    std::vector<RunEntry> Runs;
    Bytes Block(PerRun * ClusterSize);
    uint32_t State = 1;
    for (uint64_t i = 0; i < RunCount; i++) {
        uint64_t Length = i + 1 == RunCount ? Clusters - PerRun * i : PerRun;
        uint64_t Lcn = Builder.AllocateClusters(Length);
        Builder.AllocateClusters(1); // the gap that keeps the runs apart
        Block.resize(Length * ClusterSize);
        for (uint8_t& Byte : Block) {
            State = State * 1103515245u + 12345u;
            Byte = static_cast<uint8_t>(State >> 16);
        }
        Builder.WriteClusters(Lcn, Block);
        Runs.push_back({Length, static_cast<int64_t>(Lcn)});
    }

    // About 180 such runs fit in one extension record.
    const size_t PerPiece = 180;
    Bytes List;
    auto Append = [&](const Bytes& Entry) { List.insert(List.end(), Entry.begin(), Entry.end()); };
    Append(AttributeListEntry(TypeStandardInformation, {}, 0, FileReference(64, 1), 0));
    uint64_t Vcn = 0;
    uint64_t Segment = 65;
    for (size_t First = 0; First < Runs.size(); First += PerPiece, Segment++) {
        std::vector<RunEntry> Piece(Runs.begin() + First, Runs.begin() + std::min(Runs.size(), First + PerPiece));
        AttributeFields Data = NonResidentAttribute(TypeData, Piece, ClusterSize, Size, {}, 0, Vcn);
        Data.Instance = 0;
        // Only the first piece carries the sizes of the whole attribute.
        Data.AllocatedLength = Vcn == 0 ? Clusters * ClusterSize : 0;
        Data.DataSize = Vcn == 0 ? Size : 0;
        Data.ValidDataLength = Data.DataSize;
        Builder.Record(Segment).SetBaseReference(FileReference(64, 1)).Add(Data);
        Append(AttributeListEntry(TypeData, {}, Vcn, FileReference(Segment, 1), 0));
        Vcn += RunClusters(Piece);
    }
    AttributeFields Information = ResidentAttribute(TypeStandardInformation, StandardInformation());
    Information.Instance = 0;
    AttributeFields ListAttribute = ResidentAttribute(TypeAttributeList, List);
    if (List.size() > 850) {
        // A long list lives outside the record.
        ListAttribute = Builder.StoreNonResident(List, TypeAttributeList);
    }
    ListAttribute.Instance = 1;
    Builder.Record(64).Add(Information).Add(ListAttribute);

    Bytes Image = Builder.Build();
    FILE* Out = fopen(argv[1], "wb");
    if (Out == nullptr || fwrite(Image.data(), 1, Image.size(), Out) != Image.size()) {
        perror(argv[1]);
        return 1;
    }
    fclose(Out);
    printf("%s: record 64, %llu bytes in %llu runs over %llu extension records\n", argv[1],
           static_cast<unsigned long long>(Size), static_cast<unsigned long long>(Runs.size()),
           static_cast<unsigned long long>(Segment - 65));
    return 0;
}
