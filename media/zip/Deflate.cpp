#include "media/zip/Deflate.h"

#include <algorithm>
#include <cstring>

namespace qmzip {
namespace {

constexpr unsigned kWindowSize = 32768;
constexpr unsigned kWindowMask = kWindowSize - 1;
constexpr unsigned kHashSize = 32768;
constexpr unsigned kHashMask = kHashSize - 1;
constexpr unsigned kMinMatch = 3;
constexpr unsigned kMaxMatch = 258;
// Bytes that must stay ahead of the current position so a full match can always be compared.
constexpr unsigned kMinLookahead = kMaxMatch + kMinMatch + 1;
constexpr unsigned kMaxDistance = kWindowSize - kMinLookahead;  // 32,506
constexpr unsigned kTooFar = 4096;  // a 3-byte match this far back costs more than 3 literals

// Level 8.
constexpr unsigned kGoodLength = 32;
constexpr unsigned kMaxLazy = 128;
constexpr unsigned kNiceLength = 258;
constexpr unsigned kMaxChain = 1024;

constexpr unsigned kSymbolBufferSize = 32768;
constexpr int kLiteralCodes = 286;  // literals, end of block, 29 length codes
constexpr int kFixedLiteralCodes = 288;
constexpr int kDistanceCodes = 30;
constexpr int kLengthCodes = 19;  // the code-length alphabet
constexpr int kMaxBits = 15;
constexpr int kMaxLengthBits = 7;
constexpr unsigned kEndOfBlock = 256;

constexpr uint16_t kLengthBase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                      31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr uint8_t kLengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                      2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr uint16_t kDistanceBase[30] = {1,    2,    3,    4,    5,    7,    9,    13,    17,    25,
                                        33,   49,   65,   97,   129,  193,  257,  385,   513,   769,
                                        1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr uint8_t kDistanceExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                        6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
constexpr uint8_t kLengthOrder[kLengthCodes] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                                11, 4,  12, 3, 13, 2, 14, 1, 15};

uint16_t ReverseBits(unsigned code, unsigned length) {
  unsigned r = 0;
  for (unsigned i = 0; i < length; ++i) {
    r = (r << 1) | (code & 1);
    code >>= 1;
  }
  return static_cast<uint16_t>(r);
}

// Canonical codes (bit-reversed, since deflate sends bits least significant first). Returns
// null when the lengths do not form a complete prefix code, else the empty text.
const char* MakeCodes(const uint8_t* lengths, int n, uint16_t* codes) {
  unsigned count[kMaxBits + 1] = {};
  for (int i = 0; i < n; ++i) count[lengths[i]]++;
  count[0] = 0;
  uint32_t kraft = 0;
  for (int b = 1; b <= kMaxBits; ++b) kraft += count[b] << (kMaxBits - b);
  if (kraft < (1u << kMaxBits)) return "not enough codes";
  if (kraft > (1u << kMaxBits)) return "too many codes";
  unsigned next[kMaxBits + 1] = {};
  unsigned code = 0;
  for (int b = 1; b <= kMaxBits; ++b) {
    code = (code + count[b - 1]) << 1;
    next[b] = code;
  }
  for (int i = 0; i < n; ++i) {
    codes[i] = lengths[i] ? ReverseBits(next[lengths[i]]++, lengths[i]) : 0;
  }
  return nullptr;
}

// Huffman code lengths of at most maxBits for n symbols. Always gives at least two codes, so every
// decoder accepts the tree even when a block uses one symbol or none.
const char* BuildLengths(const uint32_t* freq, int n, int maxBits, uint8_t* lengths) {
  int symbols[kFixedLiteralCodes];
  int k = 0;
  for (int i = 0; i < n; ++i) {
    lengths[i] = 0;
    if (freq[i]) symbols[k++] = i;
  }
  if (k < 2) {
    int first = k ? symbols[0] : -1;
    int a = first == 0 ? 1 : 0;
    if (k == 0) {
      lengths[0] = lengths[1] = 1;
    } else {
      lengths[first] = lengths[a] = 1;
    }
    return nullptr;
  }
  std::stable_sort(symbols, symbols + k, [&](int x, int y) { return freq[x] < freq[y]; });

  // Two-queue Huffman: leaves in weight order, internal nodes are made in weight order too.
  uint32_t weight[2 * kFixedLiteralCodes];
  int parent[2 * kFixedLiteralCodes];
  for (int i = 0; i < k; ++i) weight[i] = freq[symbols[i]];
  int leaf = 0, node = k, end = k;
  auto takeSmallest = [&]() {
    if (leaf < k && (node == end || weight[leaf] <= weight[node])) return leaf++;
    return node++;
  };
  for (int i = 0; i < k - 1; ++i) {
    int a = takeSmallest();
    int b = takeSmallest();
    weight[end] = weight[a] + weight[b];
    parent[a] = parent[b] = end;
    ++end;
  }
  int depth[2 * kFixedLiteralCodes];
  depth[end - 1] = 0;
  for (int i = end - 2; i >= 0; --i) depth[i] = depth[parent[i]] + 1;

  // Clamp over-long codes, then lengthen shorter ones until the code is exactly complete again.
  int count[kMaxBits + 2] = {};
  for (int i = 0; i < k; ++i) count[std::min(depth[i], maxBits)]++;
  int64_t kraft = 0;
  for (int b = 1; b <= maxBits; ++b) kraft += static_cast<int64_t>(count[b]) << (maxBits - b);
  int64_t excess = kraft - (int64_t{1} << maxBits);
  while (excess > 0) {
    int b = maxBits - 1;
    while (b > 0 && count[b] == 0) --b;
    if (b == 0 || count[maxBits] == 0) return "inconsistent bit counts";
    count[b]--;
    count[b + 1] += 2;
    count[maxBits]--;
    --excess;
  }
  // Least frequent symbols take the longest codes.
  int idx = 0;
  for (int b = maxBits; b >= 1; --b) {
    for (int c = 0; c < count[b]; ++c) lengths[symbols[idx++]] = static_cast<uint8_t>(b);
  }
  if (idx != k) return "inconsistent bit counts";
  return nullptr;
}

struct Tables {
  uint8_t lengthCode[256];      // match length - 3 -> length code index 0..28
  uint8_t distanceCode[32768];  // distance - 1 -> distance code
  uint8_t fixedLitLen[kFixedLiteralCodes];
  uint16_t fixedLitCode[kFixedLiteralCodes];
  uint8_t fixedDistLen[kDistanceCodes];
  uint16_t fixedDistCode[kDistanceCodes];
  const char* error = nullptr;

  Tables() {
    int length = 0;
    for (int code = 0; code < 28; ++code) {
      for (int i = 0; i < (1 << kLengthExtra[code]); ++i) lengthCode[length++] = static_cast<uint8_t>(code);
    }
    // 258 has a code of its own; 284 with all extra bits set is never used.
    lengthCode[255] = 28;
    if (length != 256) error = "ct_init: length != 256";
    int dist = 0;
    for (int code = 0; code < kDistanceCodes; ++code) {
      for (int i = 0; i < (1 << kDistanceExtra[code]); ++i) distanceCode[dist++] = static_cast<uint8_t>(code);
    }
    if (dist != 32768) error = "ct_init: dist != 256";
    for (int i = 0; i < kFixedLiteralCodes; ++i) {
      fixedLitLen[i] = i < 144 ? 8 : i < 256 ? 9 : i < 280 ? 7 : 8;
    }
    std::memset(fixedDistLen, 5, sizeof fixedDistLen);
    MakeCodes(fixedLitLen, kFixedLiteralCodes, fixedLitCode);
    // The fixed distance code has 32 slots, two of them unused: build its codes directly.
    for (int i = 0; i < kDistanceCodes; ++i) fixedDistCode[i] = ReverseBits(static_cast<unsigned>(i), 5);
  }
};

const Tables& GetTables() {
  static const Tables tables;
  return tables;
}

}  // namespace

struct CDeflater::State {
  // Sliding window plus room for a full match compare past the data actually read.
  uint8_t window[2 * kWindowSize + kMaxMatch + 8];
  uint16_t prev[kWindowSize];
  uint16_t head[kHashSize];
  uint8_t symLit[kSymbolBufferSize];    // literal byte, or match length - 3
  uint16_t symDist[kSymbolBufferSize];  // 0 for a literal, else the match distance
  unsigned symCount = 0;
  unsigned matchCount = 0;

  uint32_t litFreq[kFixedLiteralCodes];
  uint32_t distFreq[kDistanceCodes];
  uint8_t litLen[kFixedLiteralCodes];
  uint16_t litCode[kFixedLiteralCodes];
  uint8_t distLen[kDistanceCodes];
  uint16_t distCode[kDistanceCodes];

  unsigned strstart = 0;
  unsigned lookahead = 0;
  long blockStart = 0;
  bool eof = false;

  DeflateReadFn read = nullptr;
  void* readCtx = nullptr;
  DeflateWriteFn write = nullptr;
  void* writeCtx = nullptr;
  uint8_t* out = nullptr;
  unsigned outSize = 0;
  unsigned outPos = 0;
  uint64_t bitBuf = 0;
  unsigned bitCount = 0;
  uint64_t bitsSent = 0;
  bool writeFailed = false;
  bool readFailed = false;
  const char* error = nullptr;
  uint64_t bytesIn = 0;
  uint64_t bytesOut = 0;

  void FlushOut() {
    if (outPos && !writeFailed) {
      if (!write(writeCtx, out, outPos)) writeFailed = true;
    }
    bytesOut += outPos;
    outPos = 0;
  }

  void PutBits(uint32_t value, unsigned n) {
    bitBuf |= static_cast<uint64_t>(value) << bitCount;
    bitCount += n;
    bitsSent += n;
    if (bitCount >= 32) {
      if (outSize - outPos < 4) FlushOut();
      uint32_t word = static_cast<uint32_t>(bitBuf);
      out[outPos] = static_cast<uint8_t>(word);
      out[outPos + 1] = static_cast<uint8_t>(word >> 8);
      out[outPos + 2] = static_cast<uint8_t>(word >> 16);
      out[outPos + 3] = static_cast<uint8_t>(word >> 24);
      outPos += 4;
      bitBuf >>= 32;
      bitCount -= 32;
    }
  }

  void PutByte(uint8_t b) {
    if (outPos == outSize) FlushOut();
    out[outPos++] = b;
  }

  // Pads to a byte boundary and moves every pending bit into the output buffer.
  void AlignToByte() {
    unsigned pad = (8 - (bitCount & 7)) & 7;
    bitsSent += pad;
    bitCount += pad;
    while (bitCount) {
      PutByte(static_cast<uint8_t>(bitBuf));
      bitBuf >>= 8;
      bitCount -= 8;
    }
  }

  void Reset() {
    std::memset(head, 0, sizeof head);
    std::memset(prev, 0, sizeof prev);
    std::memset(litFreq, 0, sizeof litFreq);
    std::memset(distFreq, 0, sizeof distFreq);
    symCount = matchCount = 0;
    strstart = lookahead = 0;
    blockStart = 0;
    eof = writeFailed = readFailed = false;
    error = nullptr;
    outPos = 0;
    bitBuf = 0;
    bitCount = 0;
    bitsSent = 0;
    bytesIn = bytesOut = 0;
  }

  unsigned Hash(unsigned pos) const {
    return ((window[pos] << 10) ^ (window[pos + 1] << 5) ^ window[pos + 2]) & kHashMask;
  }

  unsigned Insert(unsigned pos) {
    unsigned h = Hash(pos);
    unsigned chainHead = head[h];
    prev[pos & kWindowMask] = static_cast<uint16_t>(chainHead);
    head[h] = static_cast<uint16_t>(pos);
    return chainHead;
  }

  // Keeps at least kMinLookahead bytes ahead (or everything left), sliding the window by 32 KiB
  // when the current position nears the end of the buffer. A pending match is held by its
  // distance, which the slide does not change, although its first bytes may slide out.
  bool Fill() {
    do {
      unsigned more = 2 * kWindowSize - lookahead - strstart;
      if (strstart >= kWindowSize + kMaxDistance) {
        std::memcpy(window, window + kWindowSize, kWindowSize);
        strstart -= kWindowSize;
        blockStart -= static_cast<long>(kWindowSize);
        for (auto& h : head) h = h >= kWindowSize ? static_cast<uint16_t>(h - kWindowSize) : 0;
        for (auto& p : prev) p = p >= kWindowSize ? static_cast<uint16_t>(p - kWindowSize) : 0;
        more += kWindowSize;
      }
      if (eof) break;
      if (more < 2) {
        error = "more < 2";
        return false;
      }
      while (more && !eof) {
        int n = read(readCtx, window + strstart + lookahead, more);
        if (n < 0 || static_cast<unsigned>(n) > more) {
          readFailed = true;
          return false;
        }
        if (n == 0) eof = true;
        lookahead += static_cast<unsigned>(n);
        more -= static_cast<unsigned>(n);
        bytesIn += static_cast<unsigned>(n);
      }
    } while (lookahead < kMinLookahead && !eof);
    return true;
  }

  static unsigned MatchLength(const uint8_t* a, const uint8_t* b, unsigned len, unsigned maxLen) {
    while (len + 4 <= maxLen) {
      uint32_t x, y;
      std::memcpy(&x, a + len, 4);
      std::memcpy(&y, b + len, 4);
      if (x != y) return len + (__builtin_ctz(x ^ y) >> 3);
      len += 4;
    }
    while (len < maxLen && a[len] == b[len]) ++len;
    return len;
  }

  // Longest match at strstart along the hash chain starting at cur, better than prevLength; its
  // distance goes to *distance (left alone when none is better).
  unsigned LongestMatch(unsigned cur, unsigned prevLength, unsigned* distance) {
    unsigned chain = kMaxChain;
    if (prevLength >= kGoodLength) chain >>= 2;
    unsigned best = prevLength;
    unsigned maxLen = std::min(kMaxMatch, lookahead);
    unsigned nice = std::min(kNiceLength, lookahead);
    if (best >= maxLen) return best;
    unsigned limit = strstart > kMaxDistance ? strstart - kMaxDistance : 1;
    const uint8_t* scan = window + strstart;
    do {
      if (cur >= strstart) {
        error = "wild scan";
        return 0;
      }
      const uint8_t* m = window + cur;
      if (m[best] != scan[best] || m[best - 1] != scan[best - 1] || m[0] != scan[0] || m[1] != scan[1])
        continue;
      unsigned len = MatchLength(m, scan, 2, maxLen);
      if (len > best) {
        *distance = strstart - cur;
        best = len;
        if (len >= nice) break;
      }
    } while ((cur = prev[cur & kWindowMask]) >= limit && --chain != 0);
    return best;
  }

  bool EndOfBlockDue() {
    if (symCount == kSymbolBufferSize - 1 || matchCount == kSymbolBufferSize) return true;
    // Cut a block early when its matches are scarce but it already compresses well, so the
    // next stretch of different data gets trees of its own.
    if ((symCount & 0xFFF) == 0) {
      uint64_t outBits = uint64_t{symCount} * 8;
      for (int d = 0; d < kDistanceCodes; ++d) outBits += uint64_t{distFreq[d]} * (5 + kDistanceExtra[d]);
      uint64_t inBytes = static_cast<uint64_t>(static_cast<long>(strstart) - blockStart);
      if (matchCount < symCount / 2 && (outBits >> 3) < inBytes / 2) return true;
    }
    return false;
  }

  bool TallyLiteral(uint8_t c) {
    symLit[symCount] = c;
    symDist[symCount] = 0;
    ++symCount;
    litFreq[c]++;
    return EndOfBlockDue();
  }

  bool TallyMatch(unsigned distance, unsigned length) {
    const Tables& t = GetTables();
    if (distance < 1 || distance > kMaxDistance || length < kMinMatch || length > kMaxMatch) {
      error = "ct_tally: bad match";
      return false;
    }
    symLit[symCount] = static_cast<uint8_t>(length - kMinMatch);
    symDist[symCount] = static_cast<uint16_t>(distance);
    ++symCount;
    ++matchCount;
    litFreq[257 + t.lengthCode[length - kMinMatch]]++;
    distFreq[t.distanceCode[distance - 1]]++;
    return EndOfBlockDue();
  }

  // Bits the buffered symbols take with the given code lengths.
  uint64_t SymbolBits(const uint8_t* ll, const uint8_t* dl) const {
    uint64_t bits = 0;
    for (int i = 0; i < 256; ++i) bits += uint64_t{litFreq[i]} * ll[i];
    for (int c = 0; c < 29; ++c) bits += uint64_t{litFreq[257 + c]} * (ll[257 + c] + kLengthExtra[c]);
    for (int d = 0; d < kDistanceCodes; ++d) bits += uint64_t{distFreq[d]} * (dl[d] + kDistanceExtra[d]);
    return bits + ll[kEndOfBlock];
  }

  void SendSymbols(const uint8_t* ll, const uint16_t* lc, const uint8_t* dl, const uint16_t* dc) {
    const Tables& t = GetTables();
    for (unsigned i = 0; i < symCount; ++i) {
      unsigned dist = symDist[i];
      unsigned lit = symLit[i];
      if (dist == 0) {
        PutBits(lc[lit], ll[lit]);
        continue;
      }
      unsigned code = t.lengthCode[lit];
      PutBits(lc[257 + code], ll[257 + code]);
      if (kLengthExtra[code]) PutBits(lit + kMinMatch - kLengthBase[code], kLengthExtra[code]);
      unsigned d = t.distanceCode[dist - 1];
      if (d >= kDistanceCodes) {
        error = "bad d_code";
        return;
      }
      PutBits(dc[d], dl[d]);
      if (kDistanceExtra[d]) PutBits(dist - kDistanceBase[d], kDistanceExtra[d]);
    }
    PutBits(lc[kEndOfBlock], ll[kEndOfBlock]);
  }

  // The code lengths of both trees as one run-length coded sequence (16, 17 and 18), with the
  // code-length code that sends it.
  struct CodeLengthHeader {
    int nlit = 0, ndist = 0, nbl = 0;
    uint8_t rleCode[kLiteralCodes + kDistanceCodes];
    uint8_t rleExtra[kLiteralCodes + kDistanceCodes];
    int nrle = 0;
    uint8_t blLen[kLengthCodes];
    uint16_t blCode[kLengthCodes];
  };

  // The block's literal/length and distance codes from its frequencies; false (error set) when
  // they cannot be built.
  bool BuildBlockCodes() {
    litFreq[kEndOfBlock] = 1;
    const char* e = BuildLengths(litFreq, kLiteralCodes, kMaxBits, litLen);
    if (!e) e = BuildLengths(distFreq, kDistanceCodes, kMaxBits, distLen);
    litLen[286] = litLen[287] = 0;
    if (!e) e = MakeCodes(litLen, kLiteralCodes, litCode);
    if (!e) e = MakeCodes(distLen, kDistanceCodes, distCode);
    if (e) {
      error = e;
      return false;
    }
    return true;
  }

  // Run-length codes the two trees' code lengths and builds the code-length code; false (error
  // set) when it cannot be built.
  bool BuildCodeLengthHeader(CodeLengthHeader& h) {
    h.nlit = kLiteralCodes;
    while (h.nlit > 257 && litLen[h.nlit - 1] == 0) --h.nlit;
    h.ndist = kDistanceCodes;
    while (h.ndist > 1 && distLen[h.ndist - 1] == 0) --h.ndist;
    uint8_t seq[kLiteralCodes + kDistanceCodes];
    std::memcpy(seq, litLen, h.nlit);
    std::memcpy(seq + h.nlit, distLen, h.ndist);
    int nseq = h.nlit + h.ndist;
    uint8_t* rleCode = h.rleCode;
    uint8_t* rleExtra = h.rleExtra;
    int nrle = 0;
    uint32_t blFreq[kLengthCodes] = {};
    for (int i = 0; i < nseq;) {
      uint8_t v = seq[i];
      int run = 1;
      while (i + run < nseq && seq[i + run] == v) ++run;
      i += run;
      if (v == 0) {
        while (run >= 11) {
          int r = std::min(run, 138);
          rleCode[nrle] = 18, rleExtra[nrle++] = static_cast<uint8_t>(r - 11);
          run -= r;
        }
        if (run >= 3) {
          rleCode[nrle] = 17, rleExtra[nrle++] = static_cast<uint8_t>(run - 3);
          run = 0;
        }
      } else {
        rleCode[nrle] = v, rleExtra[nrle++] = 0;
        --run;
        while (run >= 3) {
          int r = std::min(run, 6);
          rleCode[nrle] = 16, rleExtra[nrle++] = static_cast<uint8_t>(r - 3);
          run -= r;
        }
      }
      while (run-- > 0) rleCode[nrle] = v, rleExtra[nrle++] = 0;
    }
    h.nrle = nrle;
    for (int i = 0; i < nrle; ++i) blFreq[rleCode[i]]++;
    const char* e = BuildLengths(blFreq, kLengthCodes, kMaxLengthBits, h.blLen);
    if (!e) e = MakeCodes(h.blLen, kLengthCodes, h.blCode);
    if (e) {
      error = e;
      return false;
    }
    h.nbl = kLengthCodes;
    while (h.nbl > 4 && h.blLen[kLengthOrder[h.nbl - 1]] == 0) --h.nbl;
    return true;
  }

  // Bits of the block sent with dynamic codes, header included.
  uint64_t DynamicBlockBits(const CodeLengthHeader& h) const {
    uint64_t bits = 3 + 5 + 5 + 4 + 3 * h.nbl;
    for (int i = 0; i < h.nrle; ++i) {
      unsigned c = h.rleCode[i];
      bits += h.blLen[c] + (c == 16 ? 2 : c == 17 ? 3 : c == 18 ? 7 : 0);
    }
    return bits + SymbolBits(litLen, distLen);
  }

  void SendStoredBlock(bool last, long storedLen) {
    PutBits(last ? 1 : 0, 3);
    AlignToByte();
    PutByte(static_cast<uint8_t>(storedLen));
    PutByte(static_cast<uint8_t>(storedLen >> 8));
    PutByte(static_cast<uint8_t>(~storedLen));
    PutByte(static_cast<uint8_t>(~storedLen >> 8));
    const uint8_t* src = window + blockStart;
    unsigned left = static_cast<unsigned>(storedLen);
    while (left) {
      if (outPos == outSize) FlushOut();
      unsigned n = std::min(left, outSize - outPos);
      std::memcpy(out + outPos, src, n);
      outPos += n;
      src += n;
      left -= n;
    }
    bitsSent += uint64_t{static_cast<unsigned>(storedLen)} * 8 + 32;
  }

  void SendFixedBlock(bool last, uint64_t fixedBits) {
    const Tables& t = GetTables();
    uint64_t before = bitsSent;
    PutBits((1u << 1) | (last ? 1 : 0), 3);
    SendSymbols(t.fixedLitLen, t.fixedLitCode, t.fixedDistLen, t.fixedDistCode);
    if (bitsSent - before != fixedBits) error = "bad compressed size";
  }

  void SendDynamicBlock(bool last, const CodeLengthHeader& h, uint64_t dynBits) {
    uint64_t before = bitsSent;
    PutBits((2u << 1) | (last ? 1 : 0), 3);
    PutBits(static_cast<uint32_t>(h.nlit - 257), 5);
    PutBits(static_cast<uint32_t>(h.ndist - 1), 5);
    PutBits(static_cast<uint32_t>(h.nbl - 4), 4);
    for (int i = 0; i < h.nbl; ++i) PutBits(h.blLen[kLengthOrder[i]], 3);
    for (int i = 0; i < h.nrle; ++i) {
      unsigned c = h.rleCode[i];
      PutBits(h.blCode[c], h.blLen[c]);
      if (c == 16)
        PutBits(h.rleExtra[i], 2);
      else if (c == 17)
        PutBits(h.rleExtra[i], 3);
      else if (c == 18)
        PutBits(h.rleExtra[i], 7);
    }
    SendSymbols(litLen, litCode, distLen, distCode);
    if (bitsSent - before != dynBits) error = "bad compressed size";
  }

  void StartNextBlock(bool last) {
    std::memset(litFreq, 0, sizeof litFreq);
    std::memset(distFreq, 0, sizeof distFreq);
    symCount = matchCount = 0;
    blockStart = static_cast<long>(strstart);
    if (last) AlignToByte();
  }

  // Ends the block with whichever of stored, fixed and dynamic codes is smallest.
  void FlushBlock(bool last) {
    if (!BuildBlockCodes()) return;
    CodeLengthHeader h;
    if (!BuildCodeLengthHeader(h)) return;
    const Tables& t = GetTables();
    uint64_t dynBits = DynamicBlockBits(h);
    uint64_t fixedBits = 3 + SymbolBits(t.fixedLitLen, t.fixedDistLen);
    uint64_t dynBytes = (dynBits + 7) >> 3;
    uint64_t fixedBytes = (fixedBits + 7) >> 3;
    uint64_t best = std::min(dynBytes, fixedBytes);
    long storedLen = static_cast<long>(strstart) - blockStart;

    if (storedLen + 4 <= static_cast<long>(best) && blockStart >= 0) {
      SendStoredBlock(last, storedLen);
    } else if (fixedBytes == best) {
      SendFixedBlock(last, fixedBits);
    } else {
      SendDynamicBlock(last, h, dynBits);
    }
    StartNextBlock(last);
  }

  bool Failed() const { return error || writeFailed || readFailed; }

  void Compress() {
    unsigned matchLength = kMinMatch - 1;
    unsigned matchDistance = 0;
    unsigned prevLength;
    unsigned prevDistance;
    bool matchAvailable = false;
    for (;;) {
      if (lookahead < kMinLookahead) {
        if (!Fill()) return;
        if (lookahead == 0) break;
      }
      unsigned hashHead = 0;
      if (lookahead >= kMinMatch) hashHead = Insert(strstart);

      prevLength = matchLength;
      prevDistance = matchDistance;
      matchLength = kMinMatch - 1;
      if (hashHead != 0 && prevLength < kMaxLazy && strstart - hashHead <= kMaxDistance) {
        matchLength = LongestMatch(hashHead, prevLength, &matchDistance);
        if (error) return;
        if (matchLength == kMinMatch && matchDistance > kTooFar) {
          matchLength = kMinMatch - 1;
        }
      }
      if (prevLength >= kMinMatch && matchLength <= prevLength) {
        // The match at the previous byte stands; hash the bytes it covers and skip them.
        unsigned maxInsert = strstart + lookahead - kMinMatch;
        if (prevDistance == 0 || strstart - 1 + prevLength > strstart + lookahead) {
          error = "no future";
          return;
        }
        bool flush = TallyMatch(prevDistance, prevLength);
        if (error) return;
        lookahead -= prevLength - 1;
        unsigned n = prevLength - 2;
        do {
          if (++strstart <= maxInsert) Insert(strstart);
        } while (--n != 0);
        matchAvailable = false;
        matchLength = kMinMatch - 1;
        ++strstart;
        if (flush) {
          FlushBlock(false);
          if (Failed()) return;
        }
      } else if (matchAvailable) {
        // No better match here: the previous byte goes out as a literal.
        if (TallyLiteral(window[strstart - 1])) {
          FlushBlock(false);
          if (Failed()) return;
        }
        ++strstart;
        --lookahead;
      } else {
        matchAvailable = true;
        ++strstart;
        --lookahead;
      }
    }
    if (matchAvailable) TallyLiteral(window[strstart - 1]);
    FlushBlock(true);
    FlushOut();
  }
};

CDeflater::CDeflater() = default;
CDeflater::~CDeflater() = default;

DeflateResult CDeflater::Run(DeflateReadFn read, void* readCtx, DeflateWriteFn write, void* writeCtx,
                             uint8_t* outBuf, unsigned outSize) {
  error_ = GetTables().error;
  bytesIn_ = bytesOut_ = 0;
  if (error_) return DeflateResult::Internal;
  if (!read || !write || !outBuf || outSize < 64) {
    error_ = "output buffer too small for in-memory compression";
    return DeflateResult::Internal;
  }
  if (!s_) s_ = std::make_unique<State>();
  State& s = *s_;
  s.Reset();
  s.read = read;
  s.readCtx = readCtx;
  s.write = write;
  s.writeCtx = writeCtx;
  s.out = outBuf;
  s.outSize = outSize;
  s.Compress();
  bytesIn_ = s.bytesIn;
  bytesOut_ = s.bytesOut;
  if (s.readFailed) return DeflateResult::ReadFailed;
  if (s.error) {
    error_ = s.error;
    return DeflateResult::Internal;
  }
  if (s.writeFailed) return DeflateResult::WriteFailed;
  return DeflateResult::Ok;
}

}  // namespace qmzip
