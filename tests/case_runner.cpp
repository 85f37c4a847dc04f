// Runs every case file under tests/cases (the format is in its README): each
// case patches a private copy of a fixture image, runs korvex on it and
// compares whole outputs. KORVEX_CASE_BINARY and KORVEX_CASE_PREFIX choose the
// binary and a command in front of it, so another build runs the same cases.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include <gtest/gtest.h>

namespace fs = std::filesystem;

namespace {

std::string ReadText(const fs::path& Path)
{
    std::ifstream In(Path, std::ios::binary);
    std::ostringstream Bytes;
    Bytes << In.rdbuf();
    return Bytes.str();
}

void WriteText(const fs::path& Path, const std::string& Bytes)
{
    std::ofstream(Path, std::ios::binary) << Bytes;
}

uint64_t Number(const std::string& Text)
{
    return std::stoull(Text, nullptr, 16);
}

std::string HexBytes(std::istream& In)
{
    std::string Bytes, Word;
    while (In >> Word && Word != "fixup")
        Bytes.push_back(static_cast<char>(Number(Word)));
    return Bytes;
}

uint64_t Le(const std::string& Bytes, size_t Offset, size_t Size)
{
    uint64_t Value = 0;
    for (size_t Index = Size; Index-- > 0;)
        Value = Value << 8 | static_cast<uint8_t>(Bytes.at(Offset + Index));
    return Value;
}

// Swaps the last two bytes of every 512-byte stride of a record with its
// update sequence array: the on-disk form becomes the logical one and back.
void SwapUpdateSequence(std::string& Image, size_t Record)
{
    size_t Usa = Record + Le(Image, Record + 4, 2);
    size_t Count = Le(Image, Record + 6, 2);
    for (size_t Stride = 1; Stride < Count && Stride * 512 <= 1024; Stride++) {
        std::swap(Image.at(Record + Stride * 512 - 2), Image.at(Usa + Stride * 2));
        std::swap(Image.at(Record + Stride * 512 - 1), Image.at(Usa + Stride * 2 + 1));
    }
}

// "record N at OFF: bytes [fixup]", "cluster N at OFF: bytes", "byte OFF: bytes"
void ApplyPatch(std::string& Image, const std::string& Line)
{
    std::istringstream In(Line);
    std::string Kind, Where, At, Offset;
    In >> Kind >> Where;
    uint64_t Base = 0;
    uint64_t BytesPerCluster = Le(Image, 0x0B, 2) * Le(Image, 0x0D, 1);
    if (Kind == "byte") {
        Offset = Where;
    } else {
        In >> At >> Offset;
        Base = Kind == "record" ? Le(Image, 0x30, 8) * BytesPerCluster + Number(Where) * 1024
                                : Number(Where) * BytesPerCluster;
    }
    size_t Position = Base + Number(Offset.substr(0, Offset.size() - 1));
    std::string Bytes = HexBytes(In);
    bool Fixup = Line.size() >= 5 && Line.compare(Line.size() - 5, 5, "fixup") == 0;
    if (Fixup)
        SwapUpdateSequence(Image, Base);
    Image.replace(Position, Bytes.size(), Bytes);
    if (Fixup)
        SwapUpdateSequence(Image, Base);
}

std::vector<std::string> Words(const std::string& Line)
{
    std::vector<std::string> Result;
    std::istringstream In(Line);
    std::string Word;
    while (In >> std::ws && !In.eof()) {
        if (In.peek() == '"') {
            In.get();
            std::getline(In, Word, '"');
        } else {
            In >> Word;
        }
        Result.push_back(Word);
    }
    return Result;
}

struct RunResult {
    int Status = -1;
    std::string Output;
    long PeakKb = 0;
};

RunResult RunCommand(const std::vector<std::string>& Arguments, const fs::path& Folder)
{
    std::vector<std::string> Command = Words(getenv("KORVEX_CASE_PREFIX") ? getenv("KORVEX_CASE_PREFIX") : "");
    Command.push_back(getenv("KORVEX_CASE_BINARY") ? getenv("KORVEX_CASE_BINARY") : KORVEX_BINARY);
    Command.insert(Command.end(), Arguments.begin(), Arguments.end());
    std::vector<char*> Argv;
    for (std::string& Word : Command)
        Argv.push_back(Word.data());
    Argv.push_back(nullptr);
    RunResult Result;
    int Pipe[2];
    if (pipe(Pipe) != 0)
        return Result;
    pid_t Child = fork();
    if (Child == 0) {
        dup2(Pipe[1], 1);
        close(Pipe[0]);
        close(Pipe[1]);
        if (chdir(Folder.c_str()) != 0)
            _exit(126);
        setenv("TZ", "UTC", 1);
        alarm(30); // a hang fails the case instead of the suite
        execvp(Argv[0], Argv.data());
        _exit(127);
    }
    close(Pipe[1]);
    char Block[65536];
    ssize_t Got;
    while ((Got = read(Pipe[0], Block, sizeof(Block))) > 0)
        Result.Output.append(Block, static_cast<size_t>(Got));
    close(Pipe[0]);
    int Status = 0;
    struct rusage Usage {};
    wait4(Child, &Status, 0, &Usage);
    Result.PeakKb = Usage.ru_maxrss;
    Result.Status = WIFEXITED(Status) ? WEXITSTATUS(Status) : 1000 + WTERMSIG(Status);
    return Result;
}

std::string WithoutBuildTime(std::string Output)
{
    static const std::regex BuildTime(R"(^(korvex version [^(\n]*)\([A-Z][a-z]{2} [ 0-9][0-9] [0-9]{4}, [0-9]{2}:[0-9]{2}:[0-9]{2}\))");
    return std::regex_replace(Output, BuildTime, "$1(BUILD TIME)", std::regex_constants::format_first_only);
}

std::string Sha256(const fs::path& File)
{
    std::string Command = "sha256sum '" + File.string() + "'";
    FILE* Pipe = popen(Command.c_str(), "r");
    char Digest[65] = {};
    if (Pipe == nullptr || fread(Digest, 1, 64, Pipe) != 64)
        Digest[0] = 0;
    if (Pipe != nullptr)
        pclose(Pipe);
    return Digest;
}

// "@ file NAME sha256 HEX", "@ file NAME size N", "@ absent NAME",
// "@ truncate NAME SIZE", "@ patch NAME at OFF: bytes", "@ copy NAME NEW",
// "@ memory below KB" (the peak of the run before)
void Check(const std::string& Line, const fs::path& Folder, const RunResult& Last)
{
    std::istringstream In(Line.substr(2));
    std::string Action, Name, What, Value;
    In >> Action >> Name >> What;
    fs::path File = Folder / Name;
    if (Action == "absent") {
        EXPECT_FALSE(fs::exists(fs::symlink_status(File))) << Line;
    } else if (Action == "memory") {
        // A forked child's peak counts the runner's pages from before its
        // exec; sanitizers and an emulator add their own.
        struct rusage Self {};
        getrusage(RUSAGE_SELF, &Self);
        if (!KORVEX_SANITIZED && getenv("KORVEX_CASE_PREFIX") == nullptr) {
            EXPECT_LE(Last.PeakKb, std::max(std::stol(What), Self.ru_maxrss)) << Line;
        }
    } else if (Action == "copy") {
        fs::copy_file(File, Folder / What);
    } else if (Action == "truncate") {
        fs::resize_file(File, Number(What));
    } else if (Action == "patch") {
        In >> Value;
        std::string Bytes = ReadText(File);
        std::string Patch = HexBytes(In);
        Bytes.resize(std::max(Bytes.size(), Number(Value) + Patch.size()));
        Bytes.replace(Number(Value), Patch.size(), Patch);
        WriteText(File, Bytes);
    } else if (Action == "file" && What == "sha256") {
        In >> Value;
        EXPECT_EQ(Sha256(File), Value) << Line;
    } else if (Action == "file" && What == "size") {
        In >> Value;
        EXPECT_EQ(fs::exists(File) ? fs::file_size(File) : ~0ull, std::stoull(Value)) << Line;
    } else {
        ADD_FAILURE() << "unknown check: " << Line;
    }
}

fs::path CasesFolder() { return fs::path(KORVEX_SOURCE_DIR) / "tests" / "cases"; }

std::vector<std::string> AllCases()
{
    std::vector<std::string> Cases;
    for (const fs::directory_entry& Entry : fs::recursive_directory_iterator(CasesFolder()))
        if (Entry.path().extension() == ".case")
            Cases.push_back(fs::relative(Entry.path(), CasesFolder()).string());
    std::sort(Cases.begin(), Cases.end());
    return Cases;
}

class Case : public testing::TestWithParam<std::string> {};

TEST_P(Case, Runs)
{
    std::istringstream Lines(ReadText(CasesFolder() / GetParam()));
    char Template[] = "/tmp/korvex-case-XXXXXX";
    ASSERT_NE(mkdtemp(Template), nullptr);
    fs::path Folder = Template;
    std::string Line, Image, ImageName, Blessed;
    bool HaveLine = static_cast<bool>(std::getline(Lines, Line));
    // Directives, up to the first run.
    for (; HaveLine && Line.rfind("$ korvex", 0) != 0; HaveLine = static_cast<bool>(std::getline(Lines, Line))) {
        Blessed += Line + "\n";
        if (Line.rfind("image ", 0) == 0) {
            ImageName = Line.substr(6) + ".img";
            Image = ReadText(fs::path(KORVEX_IMAGES) / ImageName);
            ASSERT_FALSE(Image.empty()) << ImageName;
        } else if (Line.rfind("patch ", 0) == 0) {
            ApplyPatch(Image, Line.substr(6));
        } else if (Line.rfind("only linux", 0) == 0) {
            if (std::string Binary = getenv("KORVEX_CASE_BINARY") ? getenv("KORVEX_CASE_BINARY") : ""; Binary.ends_with(".exe"))
                GTEST_SKIP() << Line;
        } else if (Line.rfind("fifo ", 0) == 0) {
            ASSERT_EQ(mkfifo((Folder / Line.substr(5)).c_str(), 0600), 0);
        } else if (Line.rfind("folder ", 0) == 0) {
            fs::create_directory(Folder / Line.substr(7));
        } else if (Line.rfind("symlink ", 0) == 0) {
            std::istringstream In(Line.substr(8));
            std::string Name, Target;
            In >> Name >> Target;
            fs::create_symlink(Target, Folder / Name);
        } else if (Line.rfind("sparse ", 0) == 0) {
            std::istringstream In(Line.substr(7));
            std::string Name, Size;
            In >> Name >> Size;
            WriteText(Folder / Name, "");
            fs::resize_file(Folder / Name, Number(Size));
        } else if (Line.rfind("file ", 0) == 0) {
            std::istringstream In(Line.substr(5));
            std::string Name;
            std::getline(In, Name, ':');
            WriteText(Folder / Name, HexBytes(In));
        } else {
            ASSERT_TRUE(Line.empty() || Line[0] == '#') << "unknown directive: " << Line;
        }
    }
    if (!ImageName.empty())
        WriteText(Folder / ImageName, Image);
    // Runs with their expected outputs, and checks between them.
    RunResult Result;
    while (HaveLine) {
        Blessed += Line + "\n";
        if (Line.rfind("@ ", 0) == 0) {
            Check(Line, Folder, Result);
            HaveLine = static_cast<bool>(std::getline(Lines, Line));
            continue;
        }
        std::string Command = Line.substr(8);
        int Status = 0;
        if (size_t Arrow = Command.rfind(" => "); Arrow != std::string::npos) {
            Status = std::stoi(Command.substr(Arrow + 4));
            Command.resize(Arrow);
        }
        std::vector<std::string> Arguments = Words(Command);
        for (std::string& Argument : Arguments)
            Argument = std::regex_replace(std::regex_replace(Argument, std::regex("%IMAGE%"), ImageName),
                                          std::regex("%TMP%"), Folder.string());
        std::string Expected;
        while ((HaveLine = static_cast<bool>(std::getline(Lines, Line))) && Line.rfind("$ korvex", 0) != 0 &&
               Line.rfind("@ ", 0) != 0)
            Expected += Line + "\n";
        if (Expected.ends_with("\n<no newline>\n"))
            Expected.resize(Expected.size() - 15);
        Result = RunCommand(Arguments, Folder);
        // Now and then the emulator fails to start the program at all (no
        // output, a failing status, nothing written); such a run is made once
        // more, and said.
        if (getenv("KORVEX_CASE_PREFIX") != nullptr && Result.Output.empty() && !Expected.empty() &&
            Result.Status != Status) {
            fprintf(stderr, "note: %s: the emulator ran nothing (status %d), running it again\n", Command.c_str(),
                    Result.Status);
            Result = RunCommand(Arguments, Folder);
        }
        EXPECT_EQ(Result.Status, Status) << Command;
        EXPECT_EQ(WithoutBuildTime(Result.Output), Expected) << Command;
        Blessed += WithoutBuildTime(Result.Output);
        if (!Result.Output.empty() && !Result.Output.ends_with("\n"))
            Blessed += "\n<no newline>\n";
    }
    fs::remove_all(Folder);
    // KORVEX_CASE_BLESS=1 writes the outputs of this run into the case file:
    // for a new case, whose every line must then be checked by reading it.
    if (getenv("KORVEX_CASE_BLESS") != nullptr)
        WriteText(CasesFolder() / GetParam(), Blessed);
}

INSTANTIATE_TEST_SUITE_P(Cases, Case, testing::ValuesIn(AllCases()), [](const testing::TestParamInfo<std::string>& Info) {
    std::string Name = Info.param.substr(0, Info.param.size() - 5);
    for (char& Letter : Name)
        if (!isalnum(static_cast<unsigned char>(Letter)))
            Letter = '_';
    return Name;
});

} // namespace
