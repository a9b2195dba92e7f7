// lame_enc_encode IN.wav OUT.mp3: encodes a 16-bit PCM WAV through LAME_ENC.DLL as the saving code
// does (64 kbit/s per channel, pieces of the size the stream asks for, the last one shorter).
// Exit code 0 on success; otherwise the failing step and its result go to stderr.
#include "standins/lame_enc/LameEnc.h"

#include <cstdio>
#include <cstring>
#include <vector>

namespace {

// GetProcAddress gives a FARPROC; go through a plain function pointer to the real type.
template <typename Fn>
Fn ProcAs(FARPROC proc) {
  return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(proc));
}

bool ReadWav(const wchar_t* path, uint32_t& rate, uint32_t& channels, std::vector<int16_t>& pcm) {
  FILE* f = _wfopen(path, L"rb");
  if (!f) return false;
  std::vector<uint8_t> bytes;
  uint8_t block[65536];
  size_t n;
  while ((n = fread(block, 1, sizeof block, f)) > 0) bytes.insert(bytes.end(), block, block + n);
  fclose(f);
  if (bytes.size() < 12 || memcmp(&bytes[0], "RIFF", 4) || memcmp(&bytes[8], "WAVE", 4)) return false;
  bool haveFormat = false;
  for (size_t at = 12; at + 8 <= bytes.size();) {
    uint32_t size;
    memcpy(&size, &bytes[at + 4], 4);
    if (size > bytes.size() - at - 8) size = static_cast<uint32_t>(bytes.size() - at - 8);
    if (!memcmp(&bytes[at], "fmt ", 4) && size >= 16) {
      uint16_t tag, ch, bits;
      memcpy(&tag, &bytes[at + 8], 2);
      memcpy(&ch, &bytes[at + 10], 2);
      memcpy(&rate, &bytes[at + 12], 4);
      memcpy(&bits, &bytes[at + 22], 2);
      if (tag != 1 || bits != 16) return false;
      channels = ch;
      haveFormat = true;
    } else if (!memcmp(&bytes[at], "data", 4) && haveFormat) {
      pcm.resize(size / 2);
      memcpy(pcm.data(), &bytes[at + 8], pcm.size() * 2);
      return true;
    }
    at += 8 + size + (size & 1);
  }
  return false;
}

int Fail(const char* step, uint32_t result) {
  fprintf(stderr, "%s failed: %u\n", step, result);
  return 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) return Fail("usage: lame_enc_encode IN.wav OUT.mp3", 0);
  uint32_t rate = 0, channels = 0;
  std::vector<int16_t> pcm;
  if (!ReadWav(argv[1], rate, channels, pcm)) return Fail("reading the WAV", 0);

  HMODULE dll = LoadLibraryW(LAMEENC_DLL_NAME);
  if (!dll) return Fail("LoadLibraryW", GetLastError());
  auto open = ProcAs<LameEncOpenStreamFn>(GetProcAddress(dll, MAKEINTRESOURCEA(LAMEENC_ORDINAL_OPEN)));
  auto encode = ProcAs<LameEncEncodeChunkFn>(GetProcAddress(dll, MAKEINTRESOURCEA(LAMEENC_ORDINAL_ENCODE)));
  auto flush = ProcAs<LameEncFlushStreamFn>(GetProcAddress(dll, MAKEINTRESOURCEA(LAMEENC_ORDINAL_FLUSH)));
  auto close = ProcAs<LameEncCloseStreamFn>(GetProcAddress(dll, MAKEINTRESOURCEA(LAMEENC_ORDINAL_CLOSE)));
  if (!open || !encode || !flush || !close) return Fail("GetProcAddress", 0);

  LameEncConfig config;
  memset(&config, 0, sizeof config);
  config.kind = LAMEENC_KIND_MP3;
  config.samplesPerSecond = rate;
  config.mode = channels == 1 ? LAMEENC_MODE_MONO : LAMEENC_MODE_STEREO;
  config.bitRateKbps = static_cast<uint16_t>(64 * channels);
  uint32_t perCall = 0, bufferSize = 0;
  LameEncStream stream = nullptr;
  if (uint32_t r = open(&config, &perCall, &bufferSize, &stream)) return Fail("open", r);

  FILE* out = _wfopen(argv[2], L"wb");
  if (!out) return Fail("creating the MP3", 0);
  std::vector<uint8_t> buffer(bufferSize);
  for (size_t at = 0; at < pcm.size();) {
    uint32_t n = static_cast<uint32_t>(pcm.size() - at < perCall ? pcm.size() - at : perCall);
    uint32_t produced = 0;
    if (uint32_t r = encode(stream, n, pcm.data() + at, buffer.data(), &produced)) return Fail("encode", r);
    fwrite(buffer.data(), 1, produced, out);
    at += n;
  }
  uint32_t produced = 0;
  if (uint32_t r = flush(stream, buffer.data(), &produced)) return Fail("flush", r);
  fwrite(buffer.data(), 1, produced, out);
  close(stream);
  if (fclose(out)) return Fail("writing the MP3", 0);
  printf("samples_per_call=%u buffer=%u\n", perCall, bufferSize);
  return 0;
}
