// A synthetic image written to a temporary file and opened as a volume for
// the length of a test; file handles opened through it close with it.
#pragma once

#include <gtest/gtest.h>

#include "file.h"
#include "image_builder.h"
#include "test_support.h"
#include "volume.h"

namespace testing_support {

class MountedImage {
public:
    explicit MountedImage(const testimage::VolumeBuilder& Builder) : Image_(Builder)
    {
        std::u16string Name = Wide(Image_.Path());
        Error = NtfsVolume_Open(Name.c_str(), nullptr, &Volume, 0);
    }
    MountedImage(const MountedImage&) = delete;
    MountedImage& operator=(const MountedImage&) = delete;
    ~MountedImage()
    {
        for (NtfsFile* File : Files_)
            NtfsFile_Close(File);
        if (Volume != nullptr)
            NtfsVolume_Close(Volume);
    }
    // Opens a file that must open; it stays open until the end of the test.
    NtfsFile* Open(uint64_t Reference)
    {
        NtfsFile* File = nullptr;
        EXPECT_EQ(NtfsFile_Open(Volume, Reference, &File), ERROR_SUCCESS) << Reference;
        if (File != nullptr)
            Files_.push_back(File);
        return File;
    }
    // The result of opening a file, which is closed again at once.
    DWORD OpenError(uint64_t Reference)
    {
        NtfsFile* File = nullptr;
        DWORD Result = NtfsFile_Open(Volume, Reference, &File);
        EXPECT_EQ(Result == ERROR_SUCCESS, File != nullptr);
        if (File != nullptr)
            NtfsFile_Close(File);
        return Result;
    }

    DWORD Error = ERROR_SUCCESS;
    NtfsVolume* Volume = nullptr;

private:
    testimage::TempImage Image_;
    std::vector<NtfsFile*> Files_;
};

} // namespace testing_support
