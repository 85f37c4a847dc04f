// Writes seeds for the record target that the real images cannot give: files
// whose $ATTRIBUTE_LIST ties records 64 to 66 together (the records the
// target lays its input over). A real list names the records of its own
// volume, which the target's volume does not have, and a fuzzer does not find
// three consistent references by chance.
//
//   make_seeds FOLDER
#include <cstdio>
#include <string>

#include "../image_builder.h"

using namespace testimage;

namespace {

struct Entry {
    uint32_t Type;
    std::u16string Name;
    uint64_t LowestVcn;
    uint64_t Segment;
    uint16_t Instance;
};

Bytes ListOf(const std::vector<Entry>& Entries)
{
    Bytes List;
    for (const Entry& Item : Entries) {
        Bytes Encoded = AttributeListEntry(Item.Type, Item.Name, Item.LowestVcn, FileReference(Item.Segment, 1),
                                           Item.Instance);
        List.insert(List.end(), Encoded.begin(), Encoded.end());
    }
    return List;
}

AttributeFields WithInstance(AttributeFields Fields, uint16_t Instance)
{
    Fields.Instance = Instance;
    return Fields;
}

bool WriteSeed(const std::string& Path, const RecordBuilder (&Records)[3])
{
    Bytes Seed;
    for (const RecordBuilder& Record : Records) {
        Bytes Built = Record.BuildProtected();
        Seed.insert(Seed.end(), Built.begin(), Built.end());
    }
    FILE* File = fopen(Path.c_str(), "wb");
    if (File == nullptr)
        return false;
    bool Written = fwrite(Seed.data(), 1, Seed.size(), File) == Seed.size();
    return fclose(File) == 0 && Written;
}

// A file whose unnamed $DATA is split over the three records (VCN 0-9, 10-19,
// 20-29) and whose $FILE_NAME and a named stream live in extension records.
bool SplitData(const std::string& Folder)
{
    RecordBuilder Records[3] = {RecordBuilder(64), RecordBuilder(65), RecordBuilder(66)};
    auto Piece = [](uint64_t LowestVcn, int64_t Lcn) {
        return NonResidentAttribute(TypeData, {{10, Lcn}}, 4096, 30 * 4096 - 100, {}, 0, LowestVcn);
    };
    Records[0]
        .Add(WithInstance(ResidentAttribute(TypeStandardInformation, StandardInformation()), 0))
        .Add(WithInstance(ResidentAttribute(TypeAttributeList,
                                            ListOf({{TypeStandardInformation, u"", 0, 64, 0},
                                                    {TypeFileName, u"", 0, 65, 0},
                                                    {TypeData, u"", 0, 64, 2},
                                                    {TypeData, u"", 10, 65, 1},
                                                    {TypeData, u"", 20, 66, 0},
                                                    {TypeData, u"s", 0, 66, 1}})),
                          1))
        .Add(WithInstance(Piece(0, 300), 2));
    Records[1]
        .SetBaseReference(FileReference(64, 1))
        .Add(WithInstance(ResidentAttribute(TypeFileName, FileName(FileReference(5, 5), u"split.bin")), 0))
        .Add(WithInstance(Piece(10, 310), 1));
    Records[2]
        .SetBaseReference(FileReference(64, 1))
        .Add(WithInstance(Piece(20, 320), 0))
        .Add(WithInstance(ResidentAttribute(TypeData, Bytes(40, 's'), u"s"), 1));
    return WriteSeed(Folder + "/list_split_data", Records);
}

// A directory whose $I30 root and allocation live in extension records.
bool ListedDirectory(const std::string& Folder)
{
    RecordBuilder Records[3] = {RecordBuilder(64), RecordBuilder(65), RecordBuilder(66)};
    for (RecordBuilder& Record : Records)
        Record.SetFlags(RecordFlagInUse | RecordFlagDirectory);
    Records[0]
        .Add(WithInstance(ResidentAttribute(TypeStandardInformation, StandardInformation()), 0))
        .Add(WithInstance(ResidentAttribute(TypeAttributeList,
                                            ListOf({{TypeStandardInformation, u"", 0, 64, 0},
                                                    {TypeFileName, u"", 0, 64, 2},
                                                    {TypeIndexRoot, u"$I30", 0, 65, 0},
                                                    {TypeIndexAllocation, u"$I30", 0, 66, 0},
                                                    {TypeBitmap, u"$I30", 0, 66, 1}})),
                          1))
        .Add(WithInstance(ResidentAttribute(TypeFileName, FileName(FileReference(5, 5), u"folder", true)), 2));
    Records[1]
        .SetBaseReference(FileReference(64, 1))
        .Add(WithInstance(ResidentAttribute(TypeIndexRoot, EmptyFileNameIndexRoot(4096, 4096), u"$I30"), 0));
    Records[2]
        .SetBaseReference(FileReference(64, 1))
        .Add(WithInstance(NonResidentAttribute(TypeIndexAllocation, {{1, 300}}, 4096, 4096, u"$I30"), 0))
        .Add(WithInstance(ResidentAttribute(TypeBitmap, Bytes(8, 0x01), u"$I30"), 1));
    return WriteSeed(Folder + "/list_directory", Records);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: make_seeds FOLDER\n");
        return 2;
    }
    return SplitData(argv[1]) && ListedDirectory(argv[1]) ? 0 : 1;
}
