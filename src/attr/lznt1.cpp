// The LZNT1 decoder: one compressed chunk at a time.
#include "attribute.h"

#include <cstring>

#include "../ntfstool.h"

// A compressed stream is a sequence of chunks, each decompressing to at most
// 4096 bytes. Chunk header (16 bits, little-endian): bits 0-11 chunk size
// minus 3 (the size counts the header), bits 12-14 signature 3, bit 15 set
// when the chunk is compressed. A compressed chunk is a series of groups: a
// flag byte, then for each of its bits from bit 0 a literal byte (clear) or a
// two-byte back-reference token (set).
namespace {
constexpr uint32_t Lznt1HeaderSize = 2;
constexpr uint16_t Lznt1SizeMask = 0x0FFF;
constexpr uint32_t Lznt1Signature = 3;
constexpr uint16_t Lznt1CompressedFlag = 0x8000;
constexpr uint32_t Lznt1MinDisplacementBits = 4;
constexpr uint32_t Lznt1MaxDisplacementBits = 12;
constexpr uint32_t Lznt1MinMatch = 3;
} // namespace

// Decodes the one chunk at the start of Input into Output. On success writes
// the chunk's size (header included) to *Consumed and the bytes produced to
// *Produced; on failure leaves both and writes nothing beyond OutputLength.
// Errors: ERROR_INVALID_PARAMETER (missing buffers, InputLength < 2, or a
// chunk longer than InputLength), ERROR_INVALID_DATA (bad signature, a cut-off
// token, a reference before the start of the chunk's output),
// ERROR_INSUFFICIENT_BUFFER (output does not fit in OutputLength).
DWORD Lznt1_DecompressChunk(const uint8_t* Input, uint32_t InputLength, uint8_t* Output, uint32_t OutputLength,
                            uint32_t* Consumed, uint32_t* Produced)
{
    if (Input == nullptr || Output == nullptr || Consumed == nullptr || Produced == nullptr ||
        InputLength < Lznt1HeaderSize)
        return ERROR_INVALID_PARAMETER;

    LeReader Reader(Input, InputLength);
    uint16_t Header = Reader.U16(0);
    if (((Header >> 12) & 7) != Lznt1Signature)
        return ERROR_INVALID_DATA;
    uint32_t ChunkSize = (Header & Lznt1SizeMask) + 3u;
    if (ChunkSize > InputLength)
        return ERROR_INVALID_PARAMETER;
    Reader = LeReader(Input, ChunkSize); // nothing past this chunk is read

    if ((Header & Lznt1CompressedFlag) == 0) {
        uint32_t DataSize = ChunkSize - Lznt1HeaderSize;
        if (OutputLength < DataSize)
            return ERROR_INSUFFICIENT_BUFFER;
        memcpy(Output, Reader.Bytes(Lznt1HeaderSize, DataSize), DataSize);
        *Consumed = ChunkSize;
        *Produced = DataSize;
        return ERROR_SUCCESS;
    }

    uint32_t In = Lznt1HeaderSize;
    uint32_t Out = 0;
    uint32_t Width = Lznt1MinDisplacementBits;
    while (In < ChunkSize) {
        // Bit 8 stands after the group's eight items, so that a count of
        // clear bits never runs past them.
        uint32_t Flags = Input[In++] | 0x100u; // In < ChunkSize <= InputLength
        for (;;) {
            // The literals up to the next token go in one copy. Trailing flag
            // bits after the last item of the chunk carry no meaning.
            uint32_t Literals = static_cast<uint32_t>(__builtin_ctz(Flags));
            uint32_t Take = Literals < ChunkSize - In ? Literals : ChunkSize - In;
            if (Take > OutputLength - Out)
                return ERROR_INSUFFICIENT_BUFFER;
            // Eight bytes at once when both sides have them: the extra bytes
            // are rewritten by what follows.
            if (ChunkSize - In >= 8 && OutputLength - Out >= 8)
                memcpy(Output + Out, Input + In, 8);
            else
                memcpy(Output + Out, Input + In, Take);
            In += Take;
            Out += Take;
            Flags >>= Literals;
            if (Flags == 1 || In >= ChunkSize)
                break;

            if (!Reader.Has(In, 2))
                return ERROR_INVALID_DATA;
            uint16_t Token = static_cast<uint16_t>(Input[In] | (Input[In + 1] << 8));
            In += 2;
            Flags >>= 1;

            // The displacement field widens as the chunk's output grows: it
            // takes just enough bits (at least 4) to reach the chunk's first
            // byte, and the length field gets the rest of the 16. Output only
            // grows, so the width is carried over from the previous token.
            while (Width <= Lznt1MaxDisplacementBits && (uint32_t{1} << Width) < Out)
                Width++;
            if (Width > Lznt1MaxDisplacementBits)
                return ERROR_INVALID_DATA;
            uint32_t LengthBits = 16 - Width;
            uint32_t Displacement = (static_cast<uint32_t>(Token) >> LengthBits) + 1;
            uint32_t Length = (Token & ((uint32_t{1} << LengthBits) - 1)) + Lznt1MinMatch;
            if (Displacement > Out)
                return ERROR_INVALID_DATA;

            // The source may overlap the bytes being written: a displacement
            // of d repeats the last d bytes. Blocks of 8 are safe when d is at
            // least 8, since each block's source is then complete.
            // With room to spare in the window, the last block may run past
            // the copy: those bytes are rewritten by what follows or lie
            // beyond what the chunk produces.
            uint32_t Room = OutputLength - Out;
            uint32_t Copy = Length < Room ? Length : Room;
            uint8_t* Target = Output + Out;
            const uint8_t* Source = Target - Displacement;
            uint32_t k = 0;
            if (Displacement >= 8) {
                if (Room - Copy >= 8)
                    for (; k < Copy; k += 8)
                        memcpy(Target + k, Source + k, 8);
                else
                    for (; k + 8 <= Copy; k += 8)
                        memcpy(Target + k, Source + k, 8);
            }
            for (; k < Copy; k++)
                Target[k] = Source[k];
            Out += Copy;
            if (Copy < Length)
                return ERROR_INSUFFICIENT_BUFFER;
            if (Flags == 1)
                break;
        }
    }

    *Consumed = In;
    *Produced = Out;
    return ERROR_SUCCESS;
}
