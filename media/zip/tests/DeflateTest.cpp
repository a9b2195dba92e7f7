// The compressor: every output must raw-inflate (zlib) to its input, and the choices the
// level-8 rules make must show in the stream: a small symbol-level reader below lists the blocks
// and the literals and matches inside them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "media/zip/Deflate.h"
#include "media/zip/tests/ZipTestUtil.h"

using namespace ziptest;

namespace {

struct Symbol {
  size_t pos;       // offset in the uncompressed data
  unsigned length;  // 0 for a literal
  unsigned distance;
};

struct Block {
  int type;  // 0 stored, 1 fixed, 2 dynamic
  std::vector<Symbol> symbols;
};

class BitReader {
 public:
  explicit BitReader(const Bytes& d) : d_(d) {}
  unsigned Bit() {
    if (pos_ >= d_.size()) throw std::runtime_error("out of data");
    unsigned b = (d_[pos_] >> bit_) & 1;
    if (++bit_ == 8) bit_ = 0, ++pos_;
    return b;
  }
  unsigned Bits(int n) {
    unsigned v = 0;
    for (int i = 0; i < n; ++i) v |= Bit() << i;
    return v;
  }
  void Align() {
    if (bit_) bit_ = 0, ++pos_;
  }
  size_t Pos() const { return pos_; }
  void Skip(size_t n) { pos_ += n; }

 private:
  const Bytes& d_;
  size_t pos_ = 0;
  int bit_ = 0;
};

struct Huffman {
  unsigned count[16] = {};
  std::vector<unsigned> symbols;
  explicit Huffman(const std::vector<unsigned>& lengths) {
    for (unsigned l : lengths) count[l]++;
    count[0] = 0;
    for (unsigned l = 1; l < 16; ++l) {
      for (size_t s = 0; s < lengths.size(); ++s) {
        if (lengths[s] == l) symbols.push_back(static_cast<unsigned>(s));
      }
    }
  }
  unsigned Decode(BitReader& in) const {
    int code = 0, first = 0, index = 0;
    for (int len = 1; len < 16; ++len) {
      code |= static_cast<int>(in.Bit());
      int n = static_cast<int>(count[len]);
      if (code - first < n) return symbols[index + code - first];
      index += n;
      first = (first + n) << 1;
      code <<= 1;
    }
    throw std::runtime_error("bad code");
  }
};

const unsigned kLenBase[] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                             31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
const unsigned kLenExtra[] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                              2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
const unsigned kDistBase[] = {1,    2,    3,    4,    5,    7,    9,    13,    17,    25,
                              33,   49,   65,   97,   129,  193,  257,  385,   513,   769,
                              1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
const unsigned kDistExtra[] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                               6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

std::vector<Block> Trace(const Bytes& data) {
  std::vector<Block> blocks;
  BitReader in(data);
  size_t pos = 0;
  bool last = false;
  while (!last) {
    last = in.Bit();
    Block b;
    b.type = static_cast<int>(in.Bits(2));
    if (b.type == 0) {
      in.Align();
      unsigned len = in.Bits(16);
      unsigned nlen = in.Bits(16);
      if ((len ^ 0xFFFF) != nlen) throw std::runtime_error("stored length");
      in.Skip(len);
      pos += len;
      blocks.push_back(b);
      continue;
    }
    std::vector<unsigned> lit(288), dist(30);
    if (b.type == 1) {
      for (int i = 0; i < 288; ++i) lit[i] = i < 144 ? 8 : i < 256 ? 9 : i < 280 ? 7 : 8;
      for (auto& d : dist) d = 5;
    } else {
      unsigned nlit = in.Bits(5) + 257, ndist = in.Bits(5) + 1, ncode = in.Bits(4) + 4;
      static const int order[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
      std::vector<unsigned> cl(19);
      for (unsigned i = 0; i < ncode; ++i) cl[order[i]] = in.Bits(3);
      Huffman ch(cl);
      std::vector<unsigned> lengths;
      while (lengths.size() < nlit + ndist) {
        unsigned s = ch.Decode(in);
        if (s < 16) {
          lengths.push_back(s);
        } else {
          unsigned rep, v = 0;
          if (s == 16)
            v = lengths.at(lengths.size() - 1), rep = 3 + in.Bits(2);
          else if (s == 17)
            rep = 3 + in.Bits(3);
          else
            rep = 11 + in.Bits(7);
          lengths.insert(lengths.end(), rep, v);
        }
      }
      lit.assign(lengths.begin(), lengths.begin() + nlit);
      dist.assign(lengths.begin() + nlit, lengths.end());
    }
    Huffman lh(lit), dh(dist);
    for (;;) {
      unsigned s = lh.Decode(in);
      if (s == 256) break;
      if (s < 256) {
        b.symbols.push_back({pos++, 0, 0});
        continue;
      }
      s -= 257;
      unsigned len = kLenBase[s] + in.Bits(static_cast<int>(kLenExtra[s]));
      unsigned d = dh.Decode(in);
      unsigned distance = kDistBase[d] + in.Bits(static_cast<int>(kDistExtra[d]));
      b.symbols.push_back({pos, len, distance});
      pos += len;
    }
    blocks.push_back(b);
  }
  return blocks;
}

const Symbol* SymbolAt(const std::vector<Block>& blocks, size_t pos) {
  for (const auto& b : blocks) {
    for (const auto& s : b.symbols) {
      if (s.pos == pos) return &s;
    }
  }
  return nullptr;
}

Bytes HighFiller(size_t n, uint32_t seed) {
  Bytes b = RandomBytes(n, seed);
  for (auto& v : b) v |= 0x80;  // never equal to the ASCII markers
  return b;
}

// marker, filler, marker again `distance` bytes after the first, then a tail, so the only match
// the second copy can have is the first, exactly `marker.size()` long.
Bytes RepeatAt(size_t firstAt, size_t distance, const std::string& marker, size_t* secondAt) {
  Bytes in = HighFiller(firstAt, 1);
  in.insert(in.end(), marker.begin(), marker.end());
  in.push_back('1');
  Bytes filler = HighFiller(distance - marker.size() - 1, 2);
  in.insert(in.end(), filler.begin(), filler.end());
  *secondAt = in.size();
  in.insert(in.end(), marker.begin(), marker.end());
  in.push_back('2');
  Bytes tail = HighFiller(1000, 3);
  in.insert(in.end(), tail.begin(), tail.end());
  return in;
}

void ExpectRoundTrip(const Bytes& input, const Bytes& packed) {
  ASSERT_FALSE(packed.empty());
  bool ok = false;
  Bytes back = Inflate(packed, &ok);
  ASSERT_TRUE(ok) << "not one complete raw deflate stream";
  ASSERT_EQ(back.size(), input.size());
  EXPECT_TRUE(back == input);
}

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

}  // namespace

TEST(Deflate, EmptyInputIsOneFixedEndBlock) {
  Bytes packed = Deflate({});
  EXPECT_EQ(packed, (Bytes{0x03, 0x00}));
}

// Inputs that sit on the compressor's edges, each checked by zlib's inflate.
TEST(Deflate, EdgeInputsInflateBackExactly) {
  struct Case {
    const char* what;
    Bytes input;
  };
  std::vector<Case> cases = {
      {"one byte", {0x41}},
      {"two bytes", {0x41, 0x42}},
      {"run of 258", Bytes(258, 'a')},
      {"run of 259", Bytes(259, 'a')},
      {"run of 260", Bytes(260, 'a')},
      {"runs of 516 and 517", Cat({Bytes(516, 'b'), Bytes(517, 'c')})},
      {"text 32767", TextBytes(32767)},
      {"text 32768", TextBytes(32768)},
      {"text 32769", TextBytes(32769)},
      {"text 65535", TextBytes(65535)},
      {"text 65536", TextBytes(65536)},
      {"text 65537", TextBytes(65537)},
      {"text 65536+262", TextBytes(65536 + 262)},
      {"random 32768", RandomBytes(32768, 7)},
      {"random 65537", RandomBytes(65537, 8)},
      {"zeros 200000", Bytes(200000, 0)},
      {"text then random then text", Cat({TextBytes(70000), RandomBytes(70000, 9), TextBytes(70000)})},
      {"text 1 MB", TextBytes(1 << 20)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ExpectRoundTrip(c.input, Deflate(c.input));
  }
}

namespace {

// Generated inputs that sit on the window's edges: each deflated and inflated back by zlib.
struct GeneratedCase {
  std::string what;
  Bytes input;
};

// Positions at which the window slides: the first when the position reaches 65,274 (at the end
// of the data) or 65,275 (with more to read), then every 32 KiB.
constexpr size_t kFirstSlide = 65274;
constexpr size_t kSlideStep = 32768;

// Random bytes with the high bit set, and a marker of ASCII bytes, so that the marker's copies
// are the only matches the two can make.
Bytes Marker(size_t length, uint32_t seed) {
  Bytes m = RandomBytes(length, seed);
  for (auto& v : m) v = static_cast<uint8_t>('!' + v % 90);
  return m;
}

void AddRepeatsAcrossSlides(std::vector<GeneratedCase>& cases) {
  for (size_t slide = 0; slide < 3; ++slide) {
    size_t at = kFirstSlide + slide * kSlideStep;
    for (size_t distance : {32505u, 32506u, 32507u, 32766u, 32767u, 32768u}) {
      for (size_t length : {3u, 4u, 10u, 258u}) {
        for (int offset = -4; offset <= 2; ++offset) {
          size_t second = at + offset;
          for (size_t tail : {0u, 3u, 300u, 40000u}) {
            Bytes in = HighFiller(second + length + tail, static_cast<uint32_t>(cases.size()));
            Bytes m = Marker(length, static_cast<uint32_t>(distance + length));
            std::copy(m.begin(), m.end(), in.begin() + static_cast<long>(second - distance));
            std::copy(m.begin(), m.end(), in.begin() + static_cast<long>(second));
            cases.push_back({testing::PrintToString(length) + " bytes repeated " +
                                 testing::PrintToString(distance) + " back at " +
                                 testing::PrintToString(second) + ", tail " + testing::PrintToString(tail),
                             in});
          }
        }
      }
    }
  }
}

void AddSizesAroundMultiples(std::vector<GeneratedCase>& cases) {
  for (size_t k = 1; k <= 6; ++k) {
    for (int delta : {-263, -262, -261, -258, -1, 0, 1, 258, 261, 262, 263}) {
      size_t n = k * 32768 + delta;
      Bytes mixed = TextBytes(n);
      for (size_t i = 0; i < n; i += 7919) {
        size_t len = std::min<size_t>(1 + i % 300, n - i);
        Bytes r = RandomBytes(len, static_cast<uint32_t>(i));
        std::copy(r.begin(), r.end(), mixed.begin() + static_cast<long>(i));
      }
      std::string size = " of " + testing::PrintToString(n);
      cases.push_back({"text" + size, TextBytes(n)});
      cases.push_back({"random" + size, RandomBytes(n, static_cast<uint32_t>(n))});
      cases.push_back({"run" + size, Bytes(n, 'r')});
      cases.push_back({"text with random pieces" + size, mixed});
    }
  }
}

// Seeded mixes of random stretches, runs, text and copies of earlier bytes from distances up to
// past the window, as sound and text make them.
void AddMixes(std::vector<GeneratedCase>& cases) {
  for (uint32_t seed = 1; seed <= 120; ++seed) {
    Bytes pick = RandomBytes(4096, seed * 977);
    size_t p = 0;
    auto next = [&](size_t range) {
      uint32_t v =
          pick[p % pick.size()] | (pick[(p + 1) % pick.size()] << 8) | (pick[(p + 2) % pick.size()] << 16);
      p += 3;
      return static_cast<size_t>(v % range);
    };
    size_t target = 20000 + next(250000);
    Bytes in;
    while (in.size() < target) {
      size_t len = 1 + next(2000);
      switch (next(4)) {
        case 0: {
          Bytes r = RandomBytes(len, static_cast<uint32_t>(in.size() + seed));
          in.insert(in.end(), r.begin(), r.end());
          break;
        }
        case 1:
          in.insert(in.end(), len, static_cast<uint8_t>(next(256)));
          break;
        case 2: {
          Bytes t = TextBytes(len);
          in.insert(in.end(), t.begin(), t.end());
          break;
        }
        default: {
          if (in.empty()) break;
          size_t distance = 1 + next(std::min<size_t>(in.size(), 33100));
          for (size_t i = 0; i < len; ++i) in.push_back(in[in.size() - distance]);
        }
      }
    }
    cases.push_back({"mix " + testing::PrintToString(seed), in});
  }
}

}  // namespace

// Differential test: many inputs built to hit the window's edges, each inflated by zlib.
TEST(Deflate, GeneratedEdgeInputsInflateBackExactly) {
  std::vector<GeneratedCase> cases;
  // A match at the largest distance still pending when the last slide comes.
  Bytes pending = RandomBytes(65300, 21);
  for (size_t at : {32767u, 65273u}) std::memcpy(pending.data() + at, "ABCDEFGHIJ", 10);
  cases.push_back({"match 32,506 back pending at the slide", pending});
  AddRepeatsAcrossSlides(cases);
  AddSizesAroundMultiples(cases);
  AddMixes(cases);
  int failures = 0;
  for (const auto& c : cases) {
    Bytes packed = Deflate(c.input);
    bool ok = false;
    Bytes back = packed.empty() ? Bytes{} : Inflate(packed, &ok);
    if (ok && back == c.input) continue;
    ADD_FAILURE() << c.what << ": " << (packed.empty() ? "the compressor failed" : "does not inflate back");
    if (++failures == 10) break;
  }
}

TEST(Deflate, OutputBufferSizeDoesNotChangeTheStream) {
  // Output well past 16,384 bytes, through the archive's buffer and through a tiny one.
  Bytes input = Cat({RandomBytes(40000, 3), TextBytes(100000)});
  Bytes big = Deflate(input, 16384);
  ASSERT_GT(big.size(), 3u * 16384);
  ExpectRoundTrip(input, big);
  EXPECT_EQ(Deflate(input, 64), big);
}

TEST(Deflate, ThreeByteMatchIsDroppedBeyond4096) {
  for (size_t distance : {4096u, 4097u}) {
    SCOPED_TRACE(distance);
    size_t second = 0;
    Bytes input = RepeatAt(500, distance, "Q#x", &second);
    Bytes packed = Deflate(input);
    ExpectRoundTrip(input, packed);
    const Symbol* s = SymbolAt(Trace(packed), second);
    ASSERT_NE(s, nullptr);
    if (distance == 4096) {
      EXPECT_EQ(s->length, 3u);
      EXPECT_EQ(s->distance, 4096u);
    } else {
      EXPECT_EQ(s->length, 0u) << "a 3-byte match 4,097 back should go out as literals";
    }
  }
}

TEST(Deflate, MatchesReachBack32506BytesAndNoFurther) {
  const std::string marker = "ABCDEFGHIJKLMNOPQRST";
  // Once from the start of the window and once after it has slid.
  for (size_t firstAt : {100u, 40000u}) {
    for (size_t distance : {32506u, 32507u}) {
      SCOPED_TRACE(testing::Message() << "first at " << firstAt << ", distance " << distance);
      size_t second = 0;
      Bytes input = RepeatAt(firstAt, distance, marker, &second);
      Bytes packed = Deflate(input);
      ExpectRoundTrip(input, packed);
      auto blocks = Trace(packed);
      const Symbol* s = SymbolAt(blocks, second);
      ASSERT_NE(s, nullptr);
      if (distance == 32506) {
        EXPECT_EQ(s->length, marker.size());
        EXPECT_EQ(s->distance, 32506u);
      } else {
        EXPECT_EQ(s->length, 0u);
      }
      for (const auto& b : blocks) {
        for (const auto& sym : b.symbols) EXPECT_LE(sym.distance, 32506u);
      }
    }
  }
}

TEST(Deflate, LongRunsUseMatchesOf258AtMost) {
  Bytes input(10000, 'z');
  Bytes packed = Deflate(input);
  ExpectRoundTrip(input, packed);
  EXPECT_LT(packed.size(), 100u);
  unsigned longest = 0;
  for (const auto& b : Trace(packed)) {
    for (const auto& s : b.symbols) longest = std::max(longest, s.length);
  }
  EXPECT_EQ(longest, 258u);
}

TEST(Deflate, BlockTypeFollowsTheCheapestCoding) {
  // Short text: the fixed trees beat sending trees of its own.
  Bytes hello(reinterpret_cast<const uint8_t*>("hello, hello, hello"),
              reinterpret_cast<const uint8_t*>("hello, hello, hello") + 19);
  auto blocks = Trace(Deflate(hello));
  ASSERT_EQ(blocks.size(), 1u);
  EXPECT_EQ(blocks[0].type, 1);

  // Long text: dynamic trees, and more than one block once the symbol buffer fills.
  Bytes text = TextBytes(400000);
  Bytes noise = RandomBytes(text.size(), 5);
  for (size_t i = 0; i < text.size(); i += 6) text[i] = static_cast<uint8_t>('a' + noise[i] % 26);
  blocks = Trace(Deflate(text));
  ASSERT_GT(blocks.size(), 1u);
  for (const auto& b : blocks) EXPECT_EQ(b.type, 2);

  // Random data does not compress: stored blocks only, and just a little larger than the input.
  Bytes random = RandomBytes(200000, 11);
  Bytes packed = Deflate(random);
  ExpectRoundTrip(random, packed);
  for (const auto& b : Trace(packed)) EXPECT_EQ(b.type, 0);
  EXPECT_GT(packed.size(), random.size());
  EXPECT_LT(packed.size(), random.size() + 100);
}

namespace {
int FailingRead(void* ctx, uint8_t* buf, unsigned size) {
  int* calls = static_cast<int*>(ctx);
  if ((*calls)++ == 0) {
    std::memset(buf, 'x', size);
    return static_cast<int>(size);
  }
  return -1;
}
bool DiscardWrite(void*, const uint8_t*, unsigned) { return true; }
int EndlessRead(void* ctx, uint8_t* buf, unsigned size) {
  // Incompressible, so output reaches the writer soon.
  auto* x = static_cast<uint32_t*>(ctx);
  for (unsigned i = 0; i < size; ++i) {
    *x = *x * 1103515245u + 12345u;
    buf[i] = static_cast<uint8_t>(*x >> 24);
  }
  return static_cast<int>(size);
}
bool FailingWrite(void*, const uint8_t*, unsigned) { return false; }
}  // namespace

TEST(Deflate, ReadAndWriteFailuresEndTheStreamAsFailures) {
  qmzip::CDeflater d;
  uint8_t out[16384];
  int calls = 0;
  EXPECT_EQ(d.Run(FailingRead, &calls, DiscardWrite, nullptr, out, sizeof out),
            qmzip::DeflateResult::ReadFailed);
  uint32_t seed = 1;
  EXPECT_EQ(d.Run(EndlessRead, &seed, FailingWrite, nullptr, out, sizeof out),
            qmzip::DeflateResult::WriteFailed);
  // The same deflater is fine for the next stream.
  Bytes in = TextBytes(5000);
  struct Ctx {
    const Bytes* b;
    size_t p;
  } ctx{&in, 0};
  Bytes packed;
  auto rd = [](void* c, uint8_t* buf, unsigned size) -> int {
    auto* x = static_cast<Ctx*>(c);
    size_t n = std::min<size_t>(size, x->b->size() - x->p);
    std::memcpy(buf, x->b->data() + x->p, n);
    x->p += n;
    return static_cast<int>(n);
  };
  auto wr = [](void* c, const uint8_t* data, unsigned size) -> bool {
    static_cast<Bytes*>(c)->insert(static_cast<Bytes*>(c)->end(), data, data + size);
    return true;
  };
  ASSERT_EQ(d.Run(rd, &ctx, wr, &packed, out, sizeof out), qmzip::DeflateResult::Ok);
  ExpectRoundTrip(in, packed);
}
