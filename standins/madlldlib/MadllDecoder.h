// madlldlib.dll: decodes an MP3 file into a 16-bit PCM WAV file, over FFmpeg's mp3 demuxer and
// decoder. One export, CbMpegAudioDecoder (stdcall, undecorated name), imported at load time
// (link the madlldlib target) or fetched with GetProcAddress.
//
// The WAV has the MP3's rate and channels and the canonical 44-byte header. ID3v2 tags are passed
// over; a Xing/Info or VBRI header frame is not decoded as sound, and the encoder delay and padding
// its LAME tag gives are cut, so the sample count is the encoded source's. The WAV is written to a
// temporary file beside the output and moved into place only when it is whole: on any failure
// nothing is left at the output path (a file already there is kept unchanged). A long file is
// decoded in segments on as many threads as the process has processors; the WAV is the same, byte
// for byte, as a decode on one.
#pragma once

#include <windows.h>

#include <stdint.h>

#define MADLL_DLL_NAME L"madlldlib.dll"
#define MADLL_DECODER_EXPORT "CbMpegAudioDecoder"

enum : int {
  MADLL_OK = 0,
  MADLL_ERR_ARGUMENTS = 1,       // a path is null or empty, or the write-WAV flag is not 1
  MADLL_ERR_OPEN_INPUT = 2,      // the MP3 file cannot be opened or read
  MADLL_ERR_NOT_MPEG_AUDIO = 3,  // no MPEG audio stream, or not one frame of it decodes
  MADLL_ERR_TRUNCATED = 4,       // the file ends inside a frame, or before the frames its header counts
  MADLL_ERR_DECODE = 5,          // the decoder or the sample converter failed
  MADLL_ERR_WRITE_OUTPUT = 6,    // the WAV cannot be created, written whole or moved to the output path
  MADLL_ERR_TOO_LONG = 7,        // the PCM would not fit the 4 GiB a WAV header can describe
  MADLL_ERR_NO_MEMORY = 8,
};

// Called after each decoded MPEG frame: frames decoded so far, input bytes read so far and the
// input's size (both capped at 0xFFFFFFFF). The result is ignored.
typedef int(WINAPI* MadllProgressCallback)(uint32_t framesDecoded, uint32_t bytesRead, uint32_t bytesTotal);

// mp3Path, wavPath: zero-terminated paths in the OEM code page. writeWav: 1 (a WAV file with its
// header; no other value is taken). reserved: pass null. progress: may be null.
// Returns MADLL_OK when the WAV stands whole at wavPath, otherwise one of the MADLL_ERR_* codes.
typedef int(WINAPI* CbMpegAudioDecoderFn)(const char* mp3Path, const char* wavPath, int writeWav,
                                          void* reserved, MadllProgressCallback progress);

#ifdef MADLLDLIB_BUILD
#define MADLL_API __declspec(dllexport)
#else
#define MADLL_API __declspec(dllimport)
#endif

extern "C" MADLL_API int WINAPI CbMpegAudioDecoder(const char* mp3Path, const char* wavPath, int writeWav,
                                                   void* reserved, MadllProgressCallback progress);
