// make_firmware: builds the firmware image that Romwright carries inside its executable.
//
//   make_firmware IMAGE.bin [SOURCE.cpp]
//
// IMAGE.bin gets the 786,432 bytes of the image's 48 blocks: a little-endian 32-bit length
// L = 772,186, then an L-byte zlib stream (78 DA ...) that inflates to a 2 MiB drive flash, then
// zeros to the end of block 47. SOURCE.cpp, if given, gets a C++ file that defines
// firmware::BuiltInFirmware with those bytes and their two sums; the build compiles it.
//
// The output is the same on every machine and compiler: the flash comes from a fixed-seed integer
// generator, and the deflate stream (fixed-Huffman and stored blocks) and its Adler-32 are
// written here rather than by zlib, whose output differs between versions.
//
// How the fixed numbers are met, without changing what the stream inflates to:
//  - Length: the size of an incompressible region (stored blocks) brings the stream within a few
//    hundred bytes below L. Matches deep inside a long erased (0xFF) run may take any distance up
//    to 32 KiB and still copy 0xFF, so extra bits are added one at a time by giving such matches
//    longer distance codes; each added bit grows the stream by at most one byte, so a binary
//    search finds a count that gives exactly L.
//  - Sums: four more of those matches use distance code 29, whose 13 extra bits are free and
//    leave both the stream length and the Adler-32 alone. They form two groups a few bytes
//    apart. Nudging stored microcode bytes first brings the byte sum within their reach; then a
//    meet-in-the-middle search runs the rotating sum forward over the first group and backward
//    from the wanted final value over the second, and pairs the two on (rotating state, byte
//    sum) to hit both stored sums at once.

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "firmware/Checksums.h"

namespace {

// ---------------------------------------------------------------- what must come out

constexpr uint32_t FlashSize = drive_access::kFlashSize;
constexpr int BlockCount = 48;
constexpr size_t ImageBytes = size_t{BlockCount} * firmware::FlashBlockSize;  // 786,432
constexpr uint32_t StreamLength = 772186;                                     // L
constexpr uint16_t WantedAdditiveSum = 0x27CE;
constexpr uint16_t WantedRotatingSum = 0x7AEB;

constexpr const char* VersionString = "ROMWRIGHT-FW 1.10";

// Flash map. The per-drive area 0x1F8000..0x1F807F lies inside the erased run and stays 0xFF.
constexpr uint32_t HeaderStart = 0x000000;
constexpr uint32_t CodeStart = 0x001000;
constexpr uint32_t TablesStart = 0x0C0000;
constexpr uint32_t StringsStart = 0x0D0000;
constexpr uint32_t MicrocodeStart = 0x0E0000;  // its size is chosen to meet L
constexpr uint32_t BootStart = 0x1FC000;
constexpr uint32_t TrailerStart = 0x1FF000;
constexpr uint32_t PerDriveStart = drive_access::kPerDriveAreaFirst;
constexpr uint32_t PerDriveEnd = drive_access::kPerDriveAreaLast + 1;

// ---------------------------------------------------------------- deterministic bytes

class Rng {
public:
    explicit Rng(uint64_t seed) : state_(seed) {}
    uint64_t Next() {  // splitmix64
        uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    uint32_t Below(uint32_t n) { return static_cast<uint32_t>(Next() % n); }
    uint8_t Byte() { return static_cast<uint8_t>(Next()); }

private:
    uint64_t state_;
};

void Put16(std::vector<uint8_t>& f, uint32_t at, uint32_t v) {
    f[at] = static_cast<uint8_t>(v);
    f[at + 1] = static_cast<uint8_t>(v >> 8);
}

void Put32(std::vector<uint8_t>& f, uint32_t at, uint32_t v) {
    Put16(f, at, v & 0xFFFF);
    Put16(f, at + 2, v >> 16);
}

void PutText(std::vector<uint8_t>& f, uint32_t at, std::string_view s) {
    std::memcpy(f.data() + at, s.data(), s.size());
}

// Code of a small made-up 16/32-bit controller: functions with prologue, a body drawn from a
// skewed instruction mix, calls to earlier functions, epilogue and a literal pool. It compresses
// about as well as real controller code, which is the point.
void FillCode(std::vector<uint8_t>& f, uint32_t begin, uint32_t end, uint64_t seed) {
    Rng rng(seed);
    std::vector<uint32_t> functions;
    static constexpr uint16_t Constants[] = {0x0000, 0x0001, 0x0002, 0x0004, 0x0008, 0x0010, 0x0020,
                                             0x0040, 0x0080, 0x00FF, 0x0100, 0x0200, 0x0400, 0x0800,
                                             0x1000, 0x7FFF, 0x8000, 0xFFFF, 0x0003, 0x000F, 0x03E8,
                                             0x2710, 0x0064, 0x000A, 0x0C00, 0x4000};
    uint32_t p = begin;
    auto emit = [&](uint8_t b) { f[p++] = b; };
    auto reg = [&]() -> uint32_t { return rng.Below(8) < 6 ? rng.Below(4) : rng.Below(16); };
    // One draw per statement: the order of two draws in one expression is unspecified, and the
    // output must not depend on the compiler.
    auto regs = [&](bool frameRelative) {
        const uint32_t d = reg();
        const uint32_t s = frameRelative ? 13 : reg();
        return static_cast<uint8_t>(d << 4 | s);
    };
    // Inlined helpers and macro expansions: the same short sequences again and again.
    std::vector<std::vector<uint8_t>> idioms(48);
    for (auto& idiom : idioms) {
        idiom.resize(4 * (2 + rng.Below(6)));
        for (auto& b : idiom) b = static_cast<uint8_t>(rng.Below(4) ? 0x10 + rng.Below(0x60) : rng.Byte());
    }
    while (p + 4096 < end) {  // room for the longest function
        p = (p + 3) & ~3u;
        functions.push_back(p);
        const uint8_t saved = static_cast<uint8_t>(0xF0 | rng.Below(16));
        const uint8_t frame = static_cast<uint8_t>(4 * rng.Below(12));
        emit(0xF4); emit(saved); emit(0xA8); emit(frame);
        const uint32_t body = 6 + rng.Below(rng.Below(4) == 0 ? 120 : 40);
        for (uint32_t i = 0; i < body; ++i) {
            const uint32_t kind = rng.Below(100);
            if (rng.Below(100) < 18) {
                for (uint8_t b : idioms[rng.Below(rng.Below(2) ? 8 : 48)]) emit(b);
            } else if (kind < 30) {  // register to register
                emit(static_cast<uint8_t>(0x10 + rng.Below(rng.Below(2) ? 4 : 16)));
                emit(regs(false));
            } else if (kind < 52) {  // immediate
                emit(static_cast<uint8_t>(0x60 + rng.Below(8)));
                emit(regs(false));
                const uint32_t imm = rng.Below(10) < 6 ? rng.Below(64)
                                     : rng.Below(10) < 8
                                         ? Constants[rng.Below(std::size(Constants))]
                                         : rng.Below(0x10000);
                emit(static_cast<uint8_t>(imm)); emit(static_cast<uint8_t>(imm >> 8));
            } else if (kind < 72) {  // load/store, frame or register relative
                emit(static_cast<uint8_t>(0x80 + rng.Below(8)));
                emit(regs(rng.Below(2) != 0));
                emit(static_cast<uint8_t>(4 * rng.Below(rng.Below(3) ? 8 : 64))); emit(0x00);
            } else if (kind < 86) {  // short conditional branch
                emit(static_cast<uint8_t>(0xB0 + rng.Below(8)));
                emit(static_cast<uint8_t>(rng.Below(2) ? 2 * rng.Below(24) : 0x100 - 2 * (1 + rng.Below(24))));
            } else if (kind < 96) {  // call
                const uint32_t target = functions[functions.size() - 1 - rng.Below(
                    std::min<uint32_t>(static_cast<uint32_t>(functions.size()), rng.Below(3) ? 24 : 4000))];
                emit(0xC0);
                emit(static_cast<uint8_t>(target)); emit(static_cast<uint8_t>(target >> 8));
                emit(static_cast<uint8_t>(target >> 16));
            } else {  // register-file access
                emit(0xD8);
                emit(static_cast<uint8_t>(rng.Below(32)));
                emit(0x04); emit(static_cast<uint8_t>(0x20 + rng.Below(4)));
            }
        }
        emit(0xA0); emit(frame); emit(0xF5); emit(saved); emit(0xE0); emit(0x00);
        p = (p + 3) & ~3u;
        for (uint32_t k = rng.Below(4); k > 0; --k) {  // literal pool
            const uint32_t word = rng.Below(2) ? 0x00400000 + 4 * rng.Below(0x400)
                                               : functions[rng.Below(static_cast<uint32_t>(functions.size()))];
            f[p] = static_cast<uint8_t>(word); f[p + 1] = static_cast<uint8_t>(word >> 8);
            f[p + 2] = static_cast<uint8_t>(word >> 16); f[p + 3] = static_cast<uint8_t>(word >> 24);
            p += 4;
        }
    }
}

// A smooth integer curve 0..1000 over 0..n (a parabola), for gain and power tables.
uint32_t Curve(uint32_t i, uint32_t n) { return 4000 * i * (n - i) / (n * n); }

void FillTables(std::vector<uint8_t>& f, uint32_t at) {
    Rng rng(0x7AB1E5);
    PutText(f, at, "WSTR");
    constexpr uint32_t Records = 480;
    Put16(f, at + 4, Records);
    Put16(f, at + 6, 64);
    static constexpr std::string_view Makers[] = {"MXD", "ORV", "KTR", "PLN", "SVA", "DLM", "QBT", "NRA"};
    uint32_t r = at + 16;
    for (uint32_t i = 0; i < Records; ++i, r += 64) {
        char id[16];
        std::snprintf(id, sizeof id, "%s%c%02u%c%u", Makers[i % 8].data(), "RWP"[i / 8 % 3], i / 24 % 100,
                      "ABCD"[i % 4], i % 7);
        PutText(f, r, std::string_view(id, 8));
        f[r + 8] = static_cast<uint8_t>(i / 8 % 3);          // media kind
        f[r + 9] = static_cast<uint8_t>(1u << (i % 5));      // speed mask
        Put16(f, r + 10, 0x0400 + 16 * (i % 32));             // flags
        for (uint32_t k = 0; k < 8; ++k)                      // write power by speed, mW x 10
            Put16(f, r + 12 + 2 * k, 180 + 25 * k + (i % 13) + (k > 4 ? rng.Below(4) : 0));
        for (uint32_t k = 0; k < 24; ++k)                     // pulse shape, 1/16 T
            f[r + 28 + k] = static_cast<uint8_t>(16 + (k % 6) * 3 + (i % 3));
        for (uint32_t k = 0; k < 12; ++k) f[r + 52 + k] = static_cast<uint8_t>(Curve(k, 12) / 8);
    }
    r = (r + 0xFF) & ~0xFFu;
    PutText(f, r, "SGAN");  // servo gain tables
    r += 16;
    for (uint32_t t = 0; t < 24; ++t)
        for (uint32_t k = 0; k < 256; ++k, r += 2) Put16(f, r, 0x800 + Curve(k, 256) * (t + 4) / 8 + t);
}

void FillStrings(std::vector<uint8_t>& f, uint32_t at) {
    static constexpr std::string_view Messages[] = {
        "ORVEX   DVD RW LMX2097  1.10", VersionString, "Copyright ORVEX Optical Systems",
        "BOOT: flash image check", "BOOT: checksum mismatch, staying in loader", "BOOT: jump to main",
        "SERVO: focus search", "SERVO: focus lost", "SERVO: tracking on", "SERVO: tracking lost",
        "SERVO: sled home", "SERVO: spindle lock", "SERVO: spindle unlock", "SERVO: tilt adjust",
        "LASER: power calibration", "LASER: OPC failed", "LASER: OPC done", "LASER: temperature high",
        "TRAY: open", "TRAY: close", "TRAY: jammed", "MEDIA: none", "MEDIA: unknown ID",
        "MEDIA: DVD-R", "MEDIA: DVD+R", "MEDIA: DVD-RW", "MEDIA: DVD+RW", "MEDIA: DVD-ROM",
        "MEDIA: CD-R", "MEDIA: CD-RW", "MEDIA: CD-ROM", "WRITE: buffer underrun protection",
        "WRITE: verify error", "WRITE: power margin low", "READ: ECC uncorrectable",
        "READ: retry exhausted", "HOST: unit attention", "HOST: illegal request",
        "HOST: invalid field in CDB", "FLASH: erase sector", "FLASH: program block",
        "FLASH: verify block", "FLASH: update complete, reset", "DIAG: self test passed",
        "DIAG: self test failed"};
    PutText(f, at, "MSGT");
    Put16(f, at + 4, static_cast<uint32_t>(std::size(Messages)));
    uint32_t text = at + 8 + 2 * static_cast<uint32_t>(std::size(Messages));
    for (size_t i = 0; i < std::size(Messages); ++i) {
        Put16(f, at + 8 + 2 * static_cast<uint32_t>(i), text - at);
        PutText(f, text, Messages[i]);
        text += static_cast<uint32_t>(Messages[i].size());
        f[text++] = 0;
    }
    // Sense translation table: sense key, ASC, ASCQ, message index.
    uint32_t r = (text + 0xFF) & ~0xFFu;
    Rng rng(0x5E45E);
    for (uint32_t i = 0; i < 400; ++i, r += 4) {
        f[r] = static_cast<uint8_t>(rng.Below(7));
        f[r + 1] = static_cast<uint8_t>(rng.Below(0x80));
        f[r + 2] = static_cast<uint8_t>(rng.Below(4) ? 0 : rng.Below(8));
        f[r + 3] = static_cast<uint8_t>(rng.Below(static_cast<uint32_t>(std::size(Messages))));
    }
}

void FillIdent(std::vector<uint8_t>& f, uint32_t at) {
    PutText(f, at, "RWFW");
    Put16(f, at + 4, 0x0110);
    Put32(f, at + 8, FlashSize);
    PutText(f, at + 0x10, VersionString);
    PutText(f, at + 0x30, "ORVEX   DVD RW LMX2097  1.10");
    PutText(f, at + 0x50, "BUILD 110 RELEASE");
}

std::vector<uint8_t> BuildFlash(uint32_t microcodeSize) {
    std::vector<uint8_t> f(FlashSize, 0xFF);
    FillCode(f, CodeStart, TablesStart, 0xC0DE0001);
    for (uint32_t i = 0; i < 16; ++i) Put32(f, HeaderStart + 4 * i, CodeStart + 0x40 * i);  // vectors
    FillIdent(f, HeaderStart + 0x40);
    static constexpr uint32_t Map[][2] = {{HeaderStart, 0x01}, {CodeStart, 0x02}, {TablesStart, 0x03},
                                          {StringsStart, 0x04}, {MicrocodeStart, 0x05},
                                          {PerDriveStart, 0x06}, {BootStart, 0x07}, {TrailerStart, 0x08}};
    for (size_t i = 0; i < std::size(Map); ++i) {
        Put32(f, HeaderStart + 0x100 + 8 * static_cast<uint32_t>(i), Map[i][0]);
        Put32(f, HeaderStart + 0x104 + 8 * static_cast<uint32_t>(i), Map[i][1]);
    }
    FillTables(f, TablesStart);
    FillStrings(f, StringsStart);
    Rng noise(0xD5B0C0DE);
    for (uint32_t i = 0; i < microcodeSize; ++i) f[MicrocodeStart + i] = noise.Byte();
    FillCode(f, BootStart, TrailerStart, 0xB0070001);
    FillIdent(f, FlashSize - 0x100);
    return f;
}

// ---------------------------------------------------------------- deflate, written out

struct Token {
    uint16_t length = 0;  // 0: a literal
    uint16_t distance = 0;
    uint8_t literal = 0;
    int8_t tuneSlot = -1;  // which free distance field this match carries, if any
};

enum class SegmentKind { Compressed, Stored, Erased };

struct Segment {
    SegmentKind kind;
    uint32_t begin, end;
    std::vector<Token> tokens;  // Compressed only
};

constexpr int WindowSize = 32768;
constexpr int MaxMatch = 258;

constexpr std::array<uint16_t, 29> LengthBase = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                                 31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr std::array<uint8_t, 29> LengthExtra = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                                 2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr std::array<uint16_t, 30> DistBase = {1,   2,   3,   4,    5,    7,    9,    13,    17,    25,
                                               33,  49,  65,  97,   129,  193,  257,  385,   513,   769,
                                               1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr std::array<uint8_t, 30> DistExtra = {0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6,
                                               6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

int LengthCode(int length) {
    int c = 28;
    while (LengthBase[c] > length) --c;
    return c;
}

int DistCode(int distance) {
    int c = 29;
    while (DistBase[c] > distance) --c;
    return c;
}

class BitWriter {
public:
    void Bits(uint32_t value, int count) {
        acc_ |= static_cast<uint64_t>(value) << fill_;
        fill_ += count;
        while (fill_ >= 8) {
            out_.push_back(static_cast<uint8_t>(acc_));
            acc_ >>= 8;
            fill_ -= 8;
        }
    }
    void Huffman(uint32_t code, int length) {  // Huffman codes go most significant bit first
        uint32_t reversed = 0;
        for (int i = 0; i < length; ++i) reversed |= ((code >> i) & 1u) << (length - 1 - i);
        Bits(reversed, length);
    }
    void Align() {
        if (fill_ != 0) Bits(0, 8 - fill_);
    }
    void Bytes(std::span<const uint8_t> bytes) { out_.insert(out_.end(), bytes.begin(), bytes.end()); }
    size_t BitPosition() const { return out_.size() * 8 + static_cast<size_t>(fill_); }
    std::vector<uint8_t> Finish() {
        Align();
        return std::move(out_);
    }

private:
    std::vector<uint8_t> out_;
    uint64_t acc_ = 0;
    int fill_ = 0;
};

void FixedSymbol(BitWriter& w, int symbol) {
    if (symbol < 144) w.Huffman(0x30 + symbol, 8);
    else if (symbol < 256) w.Huffman(0x190 + symbol - 144, 9);
    else if (symbol < 280) w.Huffman(symbol - 256, 7);
    else w.Huffman(0xC0 + symbol - 280, 8);
}

// Greedy LZ77 over the whole flash, so that matches may reach back into any earlier region.
void CompressSegments(const std::vector<uint8_t>& f, std::vector<Segment>& segments) {
    constexpr int HashBits = 15;
    constexpr int MaxChain = 48;
    std::vector<int32_t> head(1 << HashBits, -1);
    std::vector<int32_t> prev(f.size(), -1);
    auto hash = [&](uint32_t p) {
        const uint32_t v = f[p] | f[p + 1] << 8 | f[p + 2] << 16;
        return (v * 2654435761u) >> (32 - HashBits);
    };
    auto insert = [&](uint32_t p) {
        if (p + 2 >= f.size()) return;
        const uint32_t h = hash(p);
        prev[p] = head[h];
        head[h] = static_cast<int32_t>(p);
    };
    for (Segment& s : segments) {
        if (s.kind != SegmentKind::Compressed) {
            for (uint32_t p = s.begin; p < s.end; ++p) insert(p);
            continue;
        }
        uint32_t p = s.begin;
        while (p < s.end) {
            int bestLength = 0, bestDistance = 0;
            const int limit = static_cast<int>(std::min<uint32_t>(MaxMatch, s.end - p));
            if (limit >= 3) {
                int32_t candidate = head[hash(p)];
                for (int chain = 0; candidate >= 0 && chain < MaxChain; ++chain) {
                    const int distance = static_cast<int>(p) - candidate;
                    if (distance > WindowSize) break;
                    int length = 0;
                    while (length < limit && f[candidate + length] == f[p + length]) ++length;
                    if (length > bestLength) {
                        bestLength = length;
                        bestDistance = distance;
                        if (length == limit) break;
                    }
                    candidate = prev[candidate];
                }
            }
            if (bestLength >= 3) {
                s.tokens.push_back({static_cast<uint16_t>(bestLength), static_cast<uint16_t>(bestDistance), 0, -1});
                for (int i = 0; i < bestLength; ++i) insert(p + i);
                p += bestLength;
            } else {
                s.tokens.push_back({0, 0, f[p], -1});
                insert(p++);
            }
        }
    }
}

// Free distance fields: four matches of the erased run carry sum-tuning values. Two groups of two,
// with two plain matches between the groups so that no stream byte holds bits of both groups.
constexpr int TuneSlots = 4;
constexpr int TuneMatchCount = 6;  // slot 0, slot 1, gap, gap, slot 2, slot 3
constexpr int TuneLayout[TuneMatchCount] = {0, 1, -1, -1, 2, 3};
constexpr int TuneDistanceCode = 29;  // 13 extra bits, distances 24577..32768

struct Settings {
    uint32_t padBits = 0;                      // extra bits spread over the erased run's far matches
    std::array<uint16_t, TuneSlots> tune{};   // 13-bit values of the free distance fields
};

// Tokens of an erased run: one literal 0xFF, then matches. A match at least 32 KiB into the run
// may use any distance in the window, and all of them copy 0xFF.
std::vector<Token> ErasedTokens(const Segment& s, const Settings& settings, uint32_t* padCapacity) {
    std::vector<Token> tokens;
    tokens.push_back({0, 0, 0xFF, -1});
    uint32_t p = s.begin + 1;
    int farIndex = 0;
    uint32_t padLeft = settings.padBits;
    uint32_t capacity = 0;
    while (p < s.end) {
        uint32_t rest = s.end - p;
        if (rest < 3) {
            tokens.push_back({0, 0, 0xFF, -1});
            ++p;
            continue;
        }
        uint32_t length = std::min<uint32_t>(MaxMatch, rest);
        if (rest - length > 0 && rest - length < 3) length -= 3;
        Token t{static_cast<uint16_t>(length), 1, 0, -1};
        if (p - s.begin >= WindowSize) {
            if (farIndex < TuneMatchCount) {
                const int slot = TuneLayout[farIndex];
                if (slot >= 0) {
                    t.distance = static_cast<uint16_t>(DistBase[TuneDistanceCode] + settings.tune[slot]);
                    t.tuneSlot = static_cast<int8_t>(slot);
                }
            } else {
                const uint32_t extra = std::min<uint32_t>(padLeft, 13);
                if (extra > 0) t.distance = static_cast<uint16_t>(DistBase[2 * extra + 2]);
                padLeft -= extra;
                capacity += 13;
            }
            ++farIndex;
        }
        tokens.push_back(t);
        p += length;
    }
    if (farIndex < TuneMatchCount) throw std::runtime_error("erased run too short for the tuning matches");
    if (padLeft > 0) throw std::runtime_error("erased run too short for the padding");
    if (padCapacity) *padCapacity = capacity;
    return tokens;
}

uint32_t Adler32(std::span<const uint8_t> bytes) {
    uint32_t a = 1, b = 0;
    size_t i = 0;
    while (i < bytes.size()) {
        const size_t chunk = std::min<size_t>(5552, bytes.size() - i);  // no uint32 overflow
        for (size_t k = 0; k < chunk; ++k) {
            a += bytes[i + k];
            b += a;
        }
        a %= 65521;
        b %= 65521;
        i += chunk;
    }
    return b << 16 | a;
}

struct Stream {
    std::vector<uint8_t> bytes;                // the zlib stream
    std::array<size_t, TuneSlots> tuneBits{};  // bit offsets of the free fields in `bytes`
    uint32_t padCapacity = 0;
};

Stream Assemble(const std::vector<uint8_t>& f, const std::vector<Segment>& segments, const Settings& settings) {
    Stream result;
    BitWriter w;
    w.Bits(0x78, 8);  // deflate, 32 KiB window
    w.Bits(0xDA, 8);  // maximum compression, no dictionary; 0x78DA is a multiple of 31
    for (size_t si = 0; si < segments.size(); ++si) {
        const Segment& s = segments[si];
        const bool lastSegment = si + 1 == segments.size();
        if (s.kind == SegmentKind::Stored) {
            for (uint32_t p = s.begin; p < s.end;) {
                const uint32_t n = std::min<uint32_t>(0xFFFF, s.end - p);
                w.Bits(lastSegment && p + n == s.end ? 1 : 0, 1);
                w.Bits(0, 2);
                w.Align();
                w.Bits(n, 16);
                w.Bits(~n & 0xFFFF, 16);
                w.Bytes(std::span(f).subspan(p, n));
                p += n;
            }
            continue;
        }
        const std::vector<Token> erased =
            s.kind == SegmentKind::Erased ? ErasedTokens(s, settings, &result.padCapacity) : std::vector<Token>{};
        const std::vector<Token>& tokens = s.kind == SegmentKind::Erased ? erased : s.tokens;
        w.Bits(lastSegment ? 1 : 0, 1);
        w.Bits(1, 2);  // fixed Huffman codes
        for (const Token& t : tokens) {
            if (t.length == 0) {
                FixedSymbol(w, t.literal);
                continue;
            }
            const int lc = LengthCode(t.length);
            FixedSymbol(w, 257 + lc);
            w.Bits(t.length - LengthBase[lc], LengthExtra[lc]);
            const int dc = DistCode(t.distance);
            w.Huffman(dc, 5);
            if (t.tuneSlot >= 0) result.tuneBits[t.tuneSlot] = w.BitPosition();
            w.Bits(t.distance - DistBase[dc], DistExtra[dc]);
        }
        FixedSymbol(w, 256);
    }
    result.bytes = w.Finish();
    const uint32_t adler = Adler32(f);
    for (int shift = 24; shift >= 0; shift -= 8) result.bytes.push_back(static_cast<uint8_t>(adler >> shift));
    return result;
}

std::vector<Segment> Segments(uint32_t microcodeSize) {
    return {{SegmentKind::Compressed, HeaderStart, CodeStart, {}},
            {SegmentKind::Compressed, CodeStart, TablesStart, {}},
            {SegmentKind::Compressed, TablesStart, StringsStart, {}},
            {SegmentKind::Compressed, StringsStart, MicrocodeStart, {}},
            {SegmentKind::Stored, MicrocodeStart, MicrocodeStart + microcodeSize, {}},
            {SegmentKind::Erased, MicrocodeStart + microcodeSize, BootStart, {}},
            {SegmentKind::Compressed, BootStart, FlashSize, {}}};
}

// ---------------------------------------------------------------- the two sums

uint16_t RotateLeft(uint16_t r) { return static_cast<uint16_t>(r << 1 | r >> 15); }

void SetBits(uint8_t* bytes, size_t bit, int count, uint32_t value) {
    for (int i = 0; i < count; ++i, ++bit) {
        const uint8_t mask = static_cast<uint8_t>(1u << (bit % 8));
        bytes[bit / 8] = static_cast<uint8_t>(((value >> i) & 1u) ? bytes[bit / 8] | mask : bytes[bit / 8] & ~mask);
    }
}

constexpr int FieldBits = 13;
constexpr int VariedBits = 18;  // per group: all 13 bits of its first field, 5 of its second
constexpr uint32_t Candidates = 1u << VariedBits;

// Two free fields and the image bytes [lo, hi) that hold their bits.
struct Group {
    size_t first, second, lo, hi;

    Group(size_t a, size_t b) : first(a), second(b), lo(a / 8), hi((b + FieldBits + 7) / 8) {}
    size_t Size() const { return hi - lo; }
    void Fill(const std::vector<uint8_t>& image, uint32_t candidate, uint8_t* out) const {
        std::memcpy(out, image.data() + lo, Size());
        SetBits(out, first - lo * 8, FieldBits, candidate & 0x1FFF);
        SetBits(out, second - lo * 8, FieldBits, candidate >> 13);
    }
    uint16_t Sum(const std::vector<uint8_t>& image, uint32_t candidate) const {
        uint8_t bytes[16];
        Fill(image, candidate, bytes);
        return firmware::AdditiveSum(std::span(bytes, Size()));
    }
    uint32_t MeanSum(const std::vector<uint8_t>& image) const {
        uint64_t total = 0;
        for (uint32_t c = 0; c < Candidates; c += 97) total += Sum(image, c);
        return static_cast<uint32_t>(total / ((Candidates + 96) / 97));
    }
};

// The byte sum that the image must get from the two groups for its AdditiveSum to come out as
// wanted, less what the groups give on average: the search can only close a small gap.
int Shortfall(const std::vector<uint8_t>& image, const Group& g1, const Group& g2) {
    const std::span<const uint8_t> all(image);
    const uint16_t outside = static_cast<uint16_t>(
        firmware::AdditiveSum(all) - firmware::AdditiveSum(all.subspan(g1.lo, g1.Size())) -
        firmware::AdditiveSum(all.subspan(g2.lo, g2.Size())));
    const uint16_t wanted = static_cast<uint16_t>(WantedAdditiveSum - outside - g1.MeanSum(image) - g2.MeanSum(image));
    return static_cast<int16_t>(wanted);
}

// Sets the free fields of both groups so that the image's sums come out as wanted, if any
// candidate pair does.
std::optional<std::array<uint16_t, TuneSlots>> MeetInTheMiddle(std::vector<uint8_t>& image, const Group& g1,
                                                               const Group& g2) {
    const std::span<const uint8_t> all(image);
    const uint16_t before = firmware::RotatingSum(all.first(g1.lo));
    const std::span<const uint8_t> between = all.subspan(g1.hi, g2.lo - g1.hi);
    const uint16_t outside = static_cast<uint16_t>(firmware::AdditiveSum(all.first(g1.lo)) +
                                                   firmware::AdditiveSum(between) +
                                                   firmware::AdditiveSum(all.subspan(g2.hi)));
    uint16_t after = WantedRotatingSum;  // the state wanted right after group 2
    for (size_t i = image.size(); i-- > g2.hi;) after = RotateLeft(static_cast<uint16_t>(after - image[i]));

    std::vector<uint64_t> forward(Candidates);  // (rotating state at g2.lo, group 1 byte sum, candidate)
    uint8_t bytes[16];
    for (uint32_t c = 0; c < Candidates; ++c) {
        g1.Fill(image, c, bytes);
        const std::span<const uint8_t> mine(bytes, g1.Size());
        const uint16_t r = firmware::RotatingSum(between, firmware::RotatingSum(mine, before));
        forward[c] = (uint64_t{r} << 16 | firmware::AdditiveSum(mine)) << 32 | c;
    }
    std::sort(forward.begin(), forward.end());
    for (uint32_t c = 0; c < Candidates; ++c) {
        g2.Fill(image, c, bytes);
        uint16_t r = after;
        for (size_t i = g2.Size(); i-- > 0;) r = RotateLeft(static_cast<uint16_t>(r - bytes[i]));
        const uint16_t need = static_cast<uint16_t>(WantedAdditiveSum - outside -
                                                    firmware::AdditiveSum(std::span(bytes, g2.Size())));
        const uint64_t key = (uint64_t{r} << 16 | need) << 32;
        const auto it = std::lower_bound(forward.begin(), forward.end(), key);
        if (it == forward.end() || (*it >> 32) != (key >> 32)) continue;
        const uint32_t c1 = static_cast<uint32_t>(*it);
        const std::array<uint16_t, TuneSlots> values = {static_cast<uint16_t>(c1 & 0x1FFF), static_cast<uint16_t>(c1 >> 13),
                                                        static_cast<uint16_t>(c & 0x1FFF), static_cast<uint16_t>(c >> 13)};
        const size_t fields[TuneSlots] = {g1.first, g1.second, g2.first, g2.second};
        for (int k = 0; k < TuneSlots; ++k) SetBits(image.data(), fields[k], FieldBits, values[k]);
        return values;
    }
    return std::nullopt;
}

// Moves the byte sum of the stored microcode by `delta`, one unit per byte, spread over the
// region so that it still looks like noise. Stored bytes reach the stream as they are and no
// later match can reach back to them, so the stream's length stays the same.
void NudgeMicrocode(std::vector<uint8_t>& flash, uint32_t size, int delta) {
    const int step = delta > 0 ? 1 : -1;
    const uint8_t limit = delta > 0 ? 0xFF : 0x00;
    for (uint64_t k = 0; delta != 0; ++k) {
        uint8_t& b = flash[MicrocodeStart + k * 7919 % size];
        if (b == limit) continue;
        b = static_cast<uint8_t>(b + step);
        delta -= step;
    }
}

// ---------------------------------------------------------------- putting it together

struct Result {
    std::vector<uint8_t> image;  // the 786,432 bytes of the blocks in use
    uint32_t microcodeSize = 0;
    uint32_t padBits = 0;
};

std::vector<uint8_t> ImageOf(const Stream& stream) {
    std::vector<uint8_t> image(ImageBytes, 0);
    for (int i = 0; i < 4; ++i) image[i] = static_cast<uint8_t>(StreamLength >> (8 * i));
    std::copy(stream.bytes.begin(), stream.bytes.end(), image.begin() + 4);
    return image;
}

Result Make() {
    // Size the incompressible region so that the stream ends up a little short of L; padding
    // bits close the rest.
    constexpr uint32_t Slack = 256;
    uint32_t microcode = 0x40000;
    std::vector<uint8_t> flash;
    std::vector<Segment> segments;
    Stream stream;
    for (int attempt = 0;; ++attempt) {
        if (attempt == 8) throw std::runtime_error("cannot size the microcode region");
        flash = BuildFlash(microcode);
        segments = Segments(microcode);
        CompressSegments(flash, segments);
        stream = Assemble(flash, segments, {});
        const int64_t shortBy = int64_t{StreamLength} - static_cast<int64_t>(stream.bytes.size());
        if (shortBy >= 0 && shortBy * 8 + 64 < stream.padCapacity) break;
        const int64_t next = int64_t{microcode} + shortBy - Slack;
        if (next < 0x1000 || next + MicrocodeStart + 0x20000 > PerDriveStart)
            throw std::runtime_error("flash content does not fit the stream length");
        microcode = static_cast<uint32_t>(next);
    }

    // Each padding bit adds at most one byte, so the smallest count that reaches L gives exactly L.
    Settings settings;
    uint32_t lo = 0, hi = stream.padCapacity;
    while (lo < hi) {
        settings.padBits = (lo + hi) / 2;
        if (Assemble(flash, segments, settings).bytes.size() < StreamLength) lo = settings.padBits + 1;
        else hi = settings.padBits;
    }
    settings.padBits = lo;

    // Bring the byte sum near the wanted one with the microcode (each nudge also changes the
    // Adler-32, hence the loop), then let the free fields settle both sums exactly.
    std::vector<uint8_t> image;
    for (int round = 0;; ++round) {
        if (round == 64) throw std::runtime_error("cannot reach the wanted sums");
        stream = Assemble(flash, segments, settings);
        if (stream.bytes.size() != StreamLength) throw std::runtime_error("cannot pad the stream to its length");
        image = ImageOf(stream);
        const Group g1(stream.tuneBits[0] + 32, stream.tuneBits[1] + 32);  // +32: the length field
        const Group g2(stream.tuneBits[2] + 32, stream.tuneBits[3] + 32);
        if (g1.hi > g2.lo) throw std::runtime_error("tuning groups share a byte");
        const int shortfall = Shortfall(image, g1, g2);
        if (shortfall < -64 || shortfall > 64) {
            NudgeMicrocode(flash, microcode, shortfall);
            continue;
        }
        if (const auto values = MeetInTheMiddle(image, g1, g2)) {
            settings.tune = *values;
            break;
        }
        NudgeMicrocode(flash, microcode, 97);
    }

    // The tuned values must give the same stream as a fresh assembly with them.
    const Stream check = Assemble(flash, segments, settings);
    if (!std::equal(check.bytes.begin(), check.bytes.end(), image.begin() + 4))
        throw std::runtime_error("tuned image differs from its assembly");
    if (firmware::AdditiveSum(image) != WantedAdditiveSum || firmware::RotatingSum(image) != WantedRotatingSum)
        throw std::runtime_error("sums missed");
    for (uint32_t a = PerDriveStart; a < PerDriveEnd; ++a)
        if (flash[a] != 0xFF) throw std::runtime_error("per-drive area not erased");
    return {std::move(image), microcode, settings.padBits};
}

void WriteFile(const std::string& path, std::span<const uint8_t> bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out.flush()) throw std::runtime_error("cannot write " + path);
}

std::string Source(std::span<const uint8_t> image) {
    size_t used = image.size();
    while (used > 0 && image[used - 1] == 0) --used;  // the rest is zero-initialised anyway
    std::string s;
    s.reserve(used * 3);
    char buffer[64];
    s += "// Generated by tools/make_firmware; do not edit.\n"
         "#include \"firmware/FirmwareImage.h\"\n\n"
         "namespace firmware {\n\n"
         "constinit const FirmwareImage BuiltInFirmware = {\n";
    std::snprintf(buffer, sizeof buffer, "    %d,\n    0x%04X,\n    0x%04X,\n", BlockCount,
                  WantedAdditiveSum, WantedRotatingSum);
    s += buffer;
    s += "    \"";
    size_t column = 0;
    for (size_t i = 0; i < used; ++i) {
        const uint8_t b = image[i];
        if (b >= 0x20 && b < 0x7F && b != '"' && b != '\\' && b != '?') {
            s += static_cast<char>(b);
            ++column;
        } else {
            std::snprintf(buffer, sizeof buffer, "\\%03o", b);  // always three digits: never runs on
            s += buffer;
            column += 4;
        }
        if (column >= 96 && i + 1 < used) {
            s += "\"\n    \"";
            column = 0;
        }
    }
    s += "\",\n};\n\n}  // namespace firmware\n";
    return s;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: make_firmware IMAGE.bin [SOURCE.cpp]\n");
        return 2;
    }
    try {
        const auto start = std::chrono::steady_clock::now();
        const Result r = Make();
        WriteFile(argv[1], r.image);
        if (argc == 3) {
            const std::string source = Source(r.image);
            WriteFile(argv[2], std::span(reinterpret_cast<const uint8_t*>(source.data()), source.size()));
        }
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
        std::printf("make_firmware: %zu bytes, stream %u, sums %04X/%04X, microcode %u bytes, %u padding bits, %lld ms\n",
                    r.image.size(), StreamLength, WantedAdditiveSum, WantedRotatingSum, r.microcodeSize, r.padBits,
                    static_cast<long long>(ms.count()));
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "make_firmware: %s\n", e.what());
        return 1;
    }
}
