// LZNT1: hand-built chunks for every displacement-width step, overlapping
// copies, stored chunks and each malformed form; then round trips through a
// small independent compressor.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "attr.h"
#include "ntfstool.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t Untouched = 0xAAAAAAAA;

// Displacement bits of a token written when P bytes of the chunk have been
// produced: 4, plus one for every halving it takes to bring P - 1 below 16.
uint32_t DisplacementBits(size_t P)
{
    uint32_t Extra = 0;
    for (int64_t Rest = static_cast<int64_t>(P) - 1; Rest >= 16; Rest >>= 1)
        Extra++;
    return 4 + Extra;
}

uint16_t MakeToken(size_t P, size_t Displacement, size_t Length)
{
    uint32_t LengthBits = 16 - DisplacementBits(P);
    return static_cast<uint16_t>(((Displacement - 1) << LengthBits) | (Length - 3));
}

size_t MaxMatch(size_t P)
{
    return (size_t{1} << (16 - DisplacementBits(P))) + 2;
}

// Lays out the body of a compressed chunk: flag bytes and the items they
// describe.
class ChunkWriter {
public:
    void Literal(uint8_t Byte)
    {
        Item(false);
        Body_.push_back(Byte);
    }
    void Token(uint16_t Value)
    {
        Item(true);
        Body_.push_back(static_cast<uint8_t>(Value));
        Body_.push_back(static_cast<uint8_t>(Value >> 8));
    }
    // Sets a flag bit for a token but writes only its first byte.
    void HalfToken(uint8_t Byte)
    {
        Item(true);
        Body_.push_back(Byte);
    }
    size_t BodySize() const { return Body_.size(); }
    Bytes Chunk() const
    {
        Bytes Out(2);
        StoreLe16(Out.data(), static_cast<uint16_t>(0xB000 | (Body_.size() + 2 - 3)));
        Out.insert(Out.end(), Body_.begin(), Body_.end());
        return Out;
    }

private:
    void Item(bool IsToken)
    {
        if (Used_ == 8) {
            FlagAt_ = Body_.size();
            Body_.push_back(0);
            Used_ = 0;
        }
        if (IsToken)
            Body_[FlagAt_] = static_cast<uint8_t>(Body_[FlagAt_] | (1u << Used_));
        Used_++;
    }

    Bytes Body_;
    size_t FlagAt_ = 0;
    uint32_t Used_ = 8;
};

Bytes StoredChunk(const uint8_t* Data, size_t Size)
{
    Bytes Out(2);
    StoreLe16(Out.data(), static_cast<uint16_t>(0x3000 | (Size + 2 - 3)));
    Out.insert(Out.end(), Data, Data + Size);
    return Out;
}

// Greedy compressor: at each position the longest match the token at that
// position can express, else a literal. Falls back to a stored chunk when
// compression does not pay.
Bytes CompressChunk(const uint8_t* Data, size_t Size)
{
    ChunkWriter Writer;
    size_t P = 0;
    while (P < Size) {
        size_t Reach = std::min(P, size_t{1} << DisplacementBits(P));
        size_t Limit = std::min(MaxMatch(P), Size - P);
        size_t Best = 0, BestDisplacement = 0;
        for (size_t Displacement = 1; Displacement <= Reach && Best < Limit; Displacement++) {
            size_t Length = 0;
            while (Length < Limit && Data[P + Length] == Data[P + Length - Displacement])
                Length++;
            if (Length > Best) {
                Best = Length;
                BestDisplacement = Displacement;
            }
        }
        if (Best >= 3) {
            Writer.Token(MakeToken(P, BestDisplacement, Best));
            P += Best;
        } else {
            Writer.Literal(Data[P++]);
        }
    }
    if (Writer.BodySize() >= Size)
        return StoredChunk(Data, Size);
    return Writer.Chunk();
}

Bytes Compress(const Bytes& Data)
{
    Bytes Stream;
    for (size_t At = 0; At < Data.size(); At += 4096) {
        Bytes Chunk = CompressChunk(Data.data() + At, std::min<size_t>(4096, Data.size() - At));
        Stream.insert(Stream.end(), Chunk.begin(), Chunk.end());
    }
    return Stream;
}

struct ChunkResult {
    DWORD Error;
    uint32_t Consumed = Untouched;
    uint32_t Produced = Untouched;
    Bytes Output;
};

// Decodes one chunk into a window of exactly OutputLength bytes.
ChunkResult DecodeChunk(const Bytes& Input, uint32_t OutputLength)
{
    ChunkResult Result{};
    Result.Output.assign(OutputLength + 1, 0); // +1: never a null window
    Result.Error = Lznt1_DecompressChunk(Input.data(), static_cast<uint32_t>(Input.size()), Result.Output.data(),
                                         OutputLength, &Result.Consumed, &Result.Produced);
    if (Result.Error == ERROR_SUCCESS)
        Result.Output.resize(Result.Produced);
    return Result;
}

Bytes RandomBytes(std::mt19937& Rng, size_t Size)
{
    Bytes Out(Size);
    for (uint8_t& Byte : Out)
        Byte = static_cast<uint8_t>(Rng());
    return Out;
}

// Copies Length bytes from Displacement back, one at a time as a decoder must.
void ReferenceCopy(Bytes* Out, size_t Displacement, size_t Length)
{
    for (size_t i = 0; i < Length; i++)
        Out->push_back((*Out)[Out->size() - Displacement]);
}

TEST(Lznt1Test, DisplacementWidthGrowsWithOutput)
{
    std::mt19937 Rng(1234);
    // Each pair straddles a width step: at P = 2^w the field is still w bits,
    // at 2^w + 1 it is w + 1. A token reaching back to the chunk's first byte
    // decodes to the right bytes only with the right split.
    for (size_t P : {16, 17, 32, 33, 64, 65, 128, 129, 256, 257, 512, 513, 1024, 1025, 2048, 2049}) {
        SCOPED_TRACE(P);
        Bytes Expected = RandomBytes(Rng, P);
        ChunkWriter Writer;
        for (uint8_t Byte : Expected)
            Writer.Literal(Byte);
        Writer.Token(MakeToken(P, P, 5));
        ReferenceCopy(&Expected, P, 5);

        ChunkResult Result = DecodeChunk(Writer.Chunk(), 4096);
        ASSERT_EQ(Result.Error, ERROR_SUCCESS);
        EXPECT_EQ(Result.Consumed, Writer.Chunk().size());
        EXPECT_EQ(Result.Output, Expected);
    }
}

TEST(Lznt1Test, WidestDisplacementAndBeyond)
{
    // 16 literals, then one long copy to bring the output to 4096 bytes.
    std::mt19937 Rng(99);
    Bytes Expected = RandomBytes(Rng, 16);
    ChunkWriter Writer;
    for (uint8_t Byte : Expected)
        Writer.Literal(Byte);
    Writer.Token(MakeToken(16, 16, 4080));
    ReferenceCopy(&Expected, 16, 4080);

    // At P = 4096 the displacement takes all 12 bits and reaches byte 0.
    ChunkWriter Widest = Writer;
    Widest.Token(MakeToken(4096, 4096, 3));
    Bytes WidestExpected = Expected;
    ReferenceCopy(&WidestExpected, 4096, 3);
    ChunkResult Result = DecodeChunk(Widest.Chunk(), 8192);
    ASSERT_EQ(Result.Error, ERROR_SUCCESS);
    EXPECT_EQ(Result.Output, WidestExpected);

    // Past 4096 bytes no split can reach the chunk's start.
    Writer.Literal(0x55);
    Writer.Token(0x0000);
    Result = DecodeChunk(Writer.Chunk(), 8192);
    EXPECT_EQ(Result.Error, ERROR_INVALID_DATA);
}

TEST(Lznt1Test, CopiesMayOverlapTheirOwnOutput)
{
    ChunkWriter Run;
    Run.Literal('x');
    Run.Token(MakeToken(1, 1, 20));
    ChunkResult Result = DecodeChunk(Run.Chunk(), 64);
    ASSERT_EQ(Result.Error, ERROR_SUCCESS);
    EXPECT_EQ(Result.Output, Bytes(21, 'x'));

    ChunkWriter Pattern;
    Pattern.Literal('a');
    Pattern.Literal('b');
    Pattern.Token(MakeToken(2, 2, 7));
    Pattern.Literal('c');
    Result = DecodeChunk(Pattern.Chunk(), 64);
    ASSERT_EQ(Result.Error, ERROR_SUCCESS);
    EXPECT_EQ(std::string(Result.Output.begin(), Result.Output.end()), "ababababac");
}

TEST(Lznt1Test, ChunkEndsWhereItsSizeSays)
{
    // Set flag bits after the last item mean nothing.
    // Size field 1: header, flag byte, one literal.
    Bytes Chunk = {0x01, 0xB0, 0xFE, 'q'};
    ChunkResult Result = DecodeChunk(Chunk, 16);
    ASSERT_EQ(Result.Error, ERROR_SUCCESS);
    EXPECT_EQ(Result.Output, Bytes{'q'});
    EXPECT_EQ(Result.Consumed, 4u);

    // Bytes after the chunk are the next chunk's, not this one's.
    ChunkWriter Writer;
    Writer.Literal('a');
    Writer.Literal('b');
    Bytes Followed = Writer.Chunk();
    size_t ChunkSize = Followed.size();
    Followed.insert(Followed.end(), {0x01, 0x00, 0x00, 0x00});
    Result = DecodeChunk(Followed, 16);
    ASSERT_EQ(Result.Error, ERROR_SUCCESS);
    EXPECT_EQ(Result.Consumed, ChunkSize);
    EXPECT_EQ(Result.Output, (Bytes{'a', 'b'}));
}

TEST(Lznt1Test, StoredChunksCopyTheirBytes)
{
    std::mt19937 Rng(7);
    Bytes Data = RandomBytes(Rng, 4096);
    Bytes Chunk = StoredChunk(Data.data(), Data.size());
    ASSERT_EQ(Chunk[0], 0xFF);
    ASSERT_EQ(Chunk[1], 0x3F);

    ChunkResult Result = DecodeChunk(Chunk, 4096);
    ASSERT_EQ(Result.Error, ERROR_SUCCESS);
    EXPECT_EQ(Result.Consumed, 4098u);
    EXPECT_EQ(Result.Output, Data);

    Result = DecodeChunk(Chunk, 4095);
    EXPECT_EQ(Result.Error, ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(Result.Consumed, Untouched);
    EXPECT_EQ(Result.Produced, Untouched);
}

TEST(Lznt1Test, MalformedChunksAreRejected)
{
    ChunkWriter AtFirstByte;
    AtFirstByte.Token(0x0000);

    ChunkWriter TooFarBack;
    TooFarBack.Literal('a');
    TooFarBack.Literal('b');
    TooFarBack.Token(MakeToken(2, 3, 3));

    ChunkWriter LoneByte;
    LoneByte.HalfToken(0x05);

    // The token's second byte exists in the input but lies past the chunk;
    // reading it would give a valid copy.
    ChunkWriter CutAtChunkEnd;
    CutAtChunkEnd.Literal('a');
    CutAtChunkEnd.HalfToken(0x00);
    Bytes CutButFollowed = CutAtChunkEnd.Chunk();
    CutButFollowed.push_back(0x00);

    struct Case {
        const char* What;
        Bytes Input;
        DWORD Expected;
    };
    const Case Cases[] = {
        {"reference at the first byte", AtFirstByte.Chunk(), ERROR_INVALID_DATA},
        {"displacement beyond the output", TooFarBack.Chunk(), ERROR_INVALID_DATA},
        {"token cut off", LoneByte.Chunk(), ERROR_INVALID_DATA},
        {"token cut off by the chunk end", CutButFollowed, ERROR_INVALID_DATA},
        {"signature 2", {0x02, 0xA0, 0x00, 'a', 'b'}, ERROR_INVALID_DATA},
        {"signature 7", {0x00, 0xF0, 0x00, 'a'}, ERROR_INVALID_DATA},
        {"zero header", {0x00, 0x00, 0x00, 0x00}, ERROR_INVALID_DATA},
        {"chunk longer than the input", {0x10, 0xB0, 0x00, 'a', 'b'}, ERROR_INVALID_PARAMETER},
        {"stored chunk longer than the input", {0x01, 0x30, 'a'}, ERROR_INVALID_PARAMETER},
        {"one byte of input", {0x00}, ERROR_INVALID_PARAMETER},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(C.What);
        ChunkResult Result = DecodeChunk(C.Input, 64);
        EXPECT_EQ(Result.Error, C.Expected);
        EXPECT_EQ(Result.Consumed, Untouched);
        EXPECT_EQ(Result.Produced, Untouched);
    }
}

TEST(Lznt1Test, OutputWindowIsNeverOverrun)
{
    ChunkWriter Literals;
    for (uint8_t Byte : {'a', 'b', 'c'})
        Literals.Literal(Byte);

    ChunkWriter Copy;
    Copy.Literal('x');
    Copy.Token(MakeToken(1, 1, 20));

    for (const Bytes& Chunk : {Literals.Chunk(), Copy.Chunk()}) {
        const uint32_t Window = 2;
        Bytes Output(16, 0xEE);
        uint32_t Consumed = Untouched, Produced = Untouched;
        EXPECT_EQ(Lznt1_DecompressChunk(Chunk.data(), static_cast<uint32_t>(Chunk.size()), Output.data(), Window,
                                        &Consumed, &Produced),
                  ERROR_INSUFFICIENT_BUFFER);
        EXPECT_TRUE(std::all_of(Output.begin() + Window, Output.end(), [](uint8_t B) { return B == 0xEE; }));
        EXPECT_EQ(Consumed, Untouched);
        EXPECT_EQ(Produced, Untouched);
    }
}

// Decodes a whole stream chunk by chunk into a window of exactly Size bytes.
void ExpectRoundTrip(const Bytes& Data, const char* What)
{
    SCOPED_TRACE(What);
    Bytes Stream = Compress(Data);
    Bytes Output(Data.size());
    size_t In = 0, Out = 0, Chunks = 0;
    while (In < Stream.size()) {
        uint32_t Consumed = 0, Produced = 0;
        ASSERT_EQ(Lznt1_DecompressChunk(Stream.data() + In, static_cast<uint32_t>(Stream.size() - In),
                                        Output.data() + Out, static_cast<uint32_t>(Output.size() - Out), &Consumed,
                                        &Produced),
                  ERROR_SUCCESS)
            << "chunk " << Chunks;
        ASSERT_LE(Produced, 4096u);
        In += Consumed;
        Out += Produced;
        Chunks++;
    }
    EXPECT_EQ(In, Stream.size());
    EXPECT_EQ(Out, Data.size());
    EXPECT_EQ(Output, Data);
}

// Random literals interleaved with copies from random earlier positions, so
// matches occur at every displacement width.
Bytes MixedData(std::mt19937& Rng, size_t Size)
{
    Bytes Out;
    while (Out.size() < Size) {
        if (Out.size() < 16 || Rng() % 3 == 0) {
            Bytes Fresh = RandomBytes(Rng, 1 + Rng() % 12);
            Out.insert(Out.end(), Fresh.begin(), Fresh.end());
        } else {
            size_t Back = 1 + Rng() % std::min<size_t>(Out.size(), 4000);
            ReferenceCopy(&Out, Back, 3 + Rng() % 40);
        }
    }
    Out.resize(Size);
    return Out;
}

TEST(Lznt1Test, CompressorRoundTrips)
{
    std::mt19937 Rng(20240601);

    Bytes Random = RandomBytes(Rng, 3 * 4096 + 1000);
    Bytes RandomStream = Compress(Random);
    EXPECT_EQ(RandomStream[1] & 0x80, 0) << "random data should be stored";
    ExpectRoundTrip(Random, "random");

    Bytes Repetitive;
    const char Phrase[] = "the cluster at the end of the run ";
    while (Repetitive.size() < 5 * 4096 + 17)
        Repetitive.insert(Repetitive.end(), Phrase, Phrase + sizeof(Phrase) - 1);
    Bytes RepetitiveStream = Compress(Repetitive);
    EXPECT_NE(RepetitiveStream[1] & 0x80, 0) << "repetitive data should compress";
    EXPECT_LT(RepetitiveStream.size(), Repetitive.size() / 4);
    ExpectRoundTrip(Repetitive, "repetitive");

    ExpectRoundTrip(Bytes(4 * 4096, 0), "all zero");
    ExpectRoundTrip(MixedData(Rng, 6 * 4096 + 123), "mixed");

    for (size_t Size : {1, 2, 3, 4095, 4096, 4097}) {
        SCOPED_TRACE(Size);
        ExpectRoundTrip(RandomBytes(Rng, Size), "random, sized");
        ExpectRoundTrip(Bytes(Size, 0x41), "constant, sized");
        ExpectRoundTrip(MixedData(Rng, Size), "mixed, sized");
    }
}

} // namespace
