// The image manifests written by tests/images/make_images.sh, and the SHA-256
// that their lines carry.
#pragma once

#include <cstdint>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace testing_support {

// ---- SHA-256 (FIPS 180-4), enough to compare with the manifests ----

class Sha256 {
public:
    void Update(const uint8_t* Data, size_t Length)
    {
        for (size_t i = 0; i < Length; i++) {
            Block_[Filled_++] = Data[i];
            if (Filled_ == 64) {
                Compress();
                Filled_ = 0;
            }
        }
        Total_ += Length;
    }

    std::string HexDigest()
    {
        uint64_t Bits = Total_ * 8;
        uint8_t Pad = 0x80;
        Update(&Pad, 1);
        Pad = 0;
        while (Filled_ != 56)
            Update(&Pad, 1);
        uint8_t Length[8];
        for (int i = 0; i < 8; i++)
            Length[i] = static_cast<uint8_t>(Bits >> (56 - 8 * i));
        Update(Length, 8);
        static const char Digits[] = "0123456789abcdef";
        std::string Hex;
        for (uint32_t Word : State_)
            for (int Shift = 28; Shift >= 0; Shift -= 4)
                Hex += Digits[(Word >> Shift) & 0xF];
        return Hex;
    }

private:
    static uint32_t Rotr(uint32_t Value, int Count) { return (Value >> Count) | (Value << (32 - Count)); }

    void Compress()
    {
        static const uint32_t K[64] = {
            0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
            0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
            0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
            0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
            0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
            0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
            0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
            0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};
        uint32_t W[64];
        for (int i = 0; i < 16; i++)
            W[i] = static_cast<uint32_t>(Block_[4 * i]) << 24 | static_cast<uint32_t>(Block_[4 * i + 1]) << 16 |
                   static_cast<uint32_t>(Block_[4 * i + 2]) << 8 | Block_[4 * i + 3];
        for (int i = 16; i < 64; i++) {
            uint32_t S0 = Rotr(W[i - 15], 7) ^ Rotr(W[i - 15], 18) ^ (W[i - 15] >> 3);
            uint32_t S1 = Rotr(W[i - 2], 17) ^ Rotr(W[i - 2], 19) ^ (W[i - 2] >> 10);
            W[i] = W[i - 16] + S0 + W[i - 7] + S1;
        }
        uint32_t A = State_[0], B = State_[1], C = State_[2], D = State_[3];
        uint32_t E = State_[4], F = State_[5], G = State_[6], H = State_[7];
        for (int i = 0; i < 64; i++) {
            uint32_t T1 = H + (Rotr(E, 6) ^ Rotr(E, 11) ^ Rotr(E, 25)) + ((E & F) ^ (~E & G)) + K[i] + W[i];
            uint32_t T2 = (Rotr(A, 2) ^ Rotr(A, 13) ^ Rotr(A, 22)) + ((A & B) ^ (A & C) ^ (B & C));
            H = G;
            G = F;
            F = E;
            E = D + T1;
            D = C;
            C = B;
            B = A;
            A = T1 + T2;
        }
        State_[0] += A;
        State_[1] += B;
        State_[2] += C;
        State_[3] += D;
        State_[4] += E;
        State_[5] += F;
        State_[6] += G;
        State_[7] += H;
    }

    std::array<uint32_t, 8> State_ = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                      0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    uint8_t Block_[64] = {};
    size_t Filled_ = 0;
    uint64_t Total_ = 0;
};

inline std::string Sha256Of(const std::vector<uint8_t>& Bytes)
{
    Sha256 Hash;
    Hash.Update(Bytes.data(), Bytes.size());
    return Hash.HexDigest();
}

// ---- Manifests: record, path, stream name (empty = unnamed $DATA), size, SHA-256 ----

struct ManifestLine {
    uint64_t Record = 0;
    std::string Path;
    std::string Stream;
    uint64_t Size = 0;
    std::string Sha;
};

inline std::vector<ManifestLine> LoadManifest(const std::string& Image)
{
    std::vector<ManifestLine> Lines;
    std::ifstream In(std::string(KORVEX_SOURCE_DIR) + "/tests/images/" + Image + ".manifest");
    std::string Text;
    while (std::getline(In, Text)) {
        if (Text.empty())
            continue;
        std::vector<std::string> Fields;
        std::stringstream Splitter(Text);
        std::string Field;
        while (std::getline(Splitter, Field, '\t'))
            Fields.push_back(Field);
        if (Fields.size() != 5)
            continue;
        Lines.push_back({std::stoull(Fields[0]), Fields[1], Fields[2], std::stoull(Fields[3]), Fields[4]});
    }
    return Lines;
}

} // namespace testing_support
