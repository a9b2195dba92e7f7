#include "media/zip/ZipTime.h"

namespace qmzip {
namespace {

constexpr int64_t kTicksPerSecond = 10000000;
constexpr int64_t kUnixEpochTicks = 116444736000000000LL;  // 1970-01-01 in FILETIME ticks

// Days from 1970-01-01 to the given civil date (proleptic Gregorian).
int64_t DaysFromCivil(int y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return static_cast<int64_t>(era) * 146097 + static_cast<int64_t>(doe) - 719468;
}

}  // namespace

uint32_t DosTimestampFromUtc(const FILETIME& utc) {
  FILETIME local;
  SYSTEMTIME st;
  if (!FileTimeToLocalFileTime(&utc, &local) || !FileTimeToSystemTime(&local, &st)) {
    return (0u << 25) | (1u << 21) | (1u << 16);  // 1980-01-01 00:00
  }
  if (st.wYear < 1980) {
    st = SYSTEMTIME{1980, 1, 0, 1, 0, 0, 0, 0};
  } else if (st.wYear > 2107) {
    st = SYSTEMTIME{2107, 12, 0, 31, 23, 59, 58, 0};
  }
  uint32_t date = ((st.wYear - 1980u) << 9) | (uint32_t{st.wMonth} << 5) | st.wDay;
  uint32_t time = (uint32_t{st.wHour} << 11) | (uint32_t{st.wMinute} << 5) | (st.wSecond / 2u);
  return (date << 16) | time;
}

int32_t UnixTimeFromUtc(const FILETIME& utc) {
  SYSTEMTIME st;
  if (!FileTimeToSystemTime(&utc, &st)) return 0;
  int year = st.wYear, month = st.wMonth, day = st.wDay;
  if (year < 1970) {
    year = 1970, month = 1, day = 1;
  } else if (year >= 2038) {
    year = 2037, month = 12, day = 31;
  }
  int64_t seconds = DaysFromCivil(year, month, day) * 86400 + st.wHour * 3600 + st.wMinute * 60 + st.wSecond;
  return static_cast<int32_t>(seconds);
}

FILETIME UtcFromDosTimestamp(uint32_t dos) {
  FILETIME local{}, utc{};
  if (!DosDateTimeToFileTime(static_cast<WORD>(dos >> 16), static_cast<WORD>(dos), &local) ||
      !LocalFileTimeToFileTime(&local, &utc)) {
    return FILETIME{};
  }
  return utc;
}

FILETIME UtcFromUnixTime(int32_t seconds) {
  uint64_t ticks = static_cast<uint64_t>(kUnixEpochTicks + int64_t{seconds} * kTicksPerSecond);
  FILETIME ft;
  ft.dwLowDateTime = static_cast<DWORD>(ticks);
  ft.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
  return ft;
}

}  // namespace qmzip
