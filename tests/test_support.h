// Shared helpers of the tests: temporary folders, whole-file I/O, console
// capture, running the built binary.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <system_error>
#include <vector>

#ifndef _WIN32
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

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

inline bool Exists(const std::string& Path)
{
    std::error_code Error;
    return std::filesystem::exists(Path, Error);
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

#ifndef _WIN32
struct RunResult {
    int Status = -1;       // -1 when the run did not exit (killed, for example by its time limit)
    std::string Output;
    long PeakMemoryKb = 0; // the run's peak resident set
};

// Runs the built korvex with the given arguments (each passed as is), TZ=UTC.
// With a time limit, a run still going after that many seconds is killed, so a
// run that hangs fails its test instead of stopping the suite.
inline RunResult RunKorvex(const std::vector<std::string>& Arguments, const std::string& WorkingDirectory = "",
                           unsigned TimeLimitSeconds = 0)
{
    RunResult Result;
    int Pipe[2];
    if (pipe(Pipe) != 0)
        return Result;
    pid_t Child = fork();
    if (Child == 0) {
        dup2(Pipe[1], 1);
        close(Pipe[0]);
        close(Pipe[1]);
        if (!WorkingDirectory.empty() && chdir(WorkingDirectory.c_str()) != 0)
            _exit(127);
        setenv("TZ", "UTC", 1);
        if (TimeLimitSeconds != 0)
            alarm(TimeLimitSeconds); // kept across execv
        std::vector<char*> Argv;
        Argv.push_back(const_cast<char*>(KORVEX_BINARY));
        for (const std::string& Argument : Arguments)
            Argv.push_back(const_cast<char*>(Argument.c_str()));
        Argv.push_back(nullptr);
        execv(KORVEX_BINARY, Argv.data());
        _exit(127);
    }
    close(Pipe[1]);
    char Block[4096];
    ssize_t Got;
    while ((Got = read(Pipe[0], Block, sizeof(Block))) > 0)
        Result.Output.append(Block, static_cast<size_t>(Got));
    close(Pipe[0]);
    int Status = 0;
    struct rusage Usage {};
    wait4(Child, &Status, 0, &Usage);
    Result.Status = WIFEXITED(Status) ? WEXITSTATUS(Status) : -1;
    Result.PeakMemoryKb = Usage.ru_maxrss;
    return Result;
}

#endif

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
