// Shared helpers of the tests: temporary folders, whole-file I/O, console
// capture, fixture image paths.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <system_error>
#include <vector>

#include "console.h"
#include "faults.h"
#include "text.h"

namespace testing_support {

// A fresh folder in the temporary folder, removed with its contents at the
// end of scope.
class TempDir {
public:
    TempDir()
    {
        std::filesystem::path Base = std::filesystem::temp_directory_path();
        for (unsigned Attempt = 0;; Attempt++) {
            std::filesystem::path Candidate =
                Base / ("korvex-test-" + std::to_string(std::random_device{}()) + std::to_string(Attempt));
            std::error_code Error;
            if (std::filesystem::create_directory(Candidate, Error)) {
                Path_ = Candidate.string();
                return;
            }
        }
    }
    ~TempDir()
    {
        std::error_code Error;
        std::filesystem::remove_all(Path_, Error);
    }
    const std::string& Path() const { return Path_; }
    std::string operator/(const std::string& Name) const { return Path_ + "/" + Name; }

private:
    std::string Path_;
};

inline void WriteBytes(const std::string& Path, const std::vector<uint8_t>& Bytes)
{
    FILE* File = fopen(Path.c_str(), "wb");
    if (File == nullptr)
        return;
    if (!Bytes.empty())
        fwrite(Bytes.data(), 1, Bytes.size(), File);
    fclose(File);
}

inline std::vector<uint8_t> ReadBytes(const std::string& Path)
{
    std::vector<uint8_t> Bytes;
    FILE* File = fopen(Path.c_str(), "rb");
    if (File == nullptr)
        return Bytes;
    uint8_t Block[65536];
    size_t Got;
    while ((Got = fread(Block, 1, sizeof(Block), File)) > 0)
        Bytes.insert(Bytes.end(), Block, Block + Got);
    fclose(File);
    return Bytes;
}

inline std::u16string Wide(const std::string& Text)
{
    return Text_Utf8ToUtf16(Text.data(), Text.size());
}

// Captures everything the console printer writes during its lifetime.
class ConsoleCapture {
public:
    ConsoleCapture() { Console_SetCapture(&Text_); }
    ~ConsoleCapture() { Console_SetCapture(nullptr); }
    const std::string& Text() const { return Text_; }
    void Clear() { Text_.clear(); }

private:
    std::string Text_;
};

// Disarms every platform fault at the end of scope.
struct FaultGuard {
    ~FaultGuard() { Fault_DisarmAll(); }
};

// The output without its first line (the banner, which carries the build time).
inline std::string WithoutBanner(const std::string& Output)
{
    size_t End = Output.find('\n');
    return End == std::string::npos ? std::string() : Output.substr(End + 1);
}

inline std::string ImagePath(const std::string& Name)
{
    return std::string(KORVEX_IMAGES) + "/" + Name + ".img";
}

} // namespace testing_support
