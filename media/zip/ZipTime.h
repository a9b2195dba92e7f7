// Time conversions of ZIP entries: MS-DOS timestamps (local time, 1980-2107) and the Unix times
// of the extended-timestamp extra field (UTC seconds, 1970-2037).
#pragma once

#include <windows.h>

#include <cstdint>

namespace qmzip {

// Date in the high half, time in the low half; the UTC time is shifted into local time by the
// present difference between the two, and the year is held to 1980-2107.
uint32_t DosTimestampFromUtc(const FILETIME& utc);
// Seconds since 1970 of a UTC time whose year is held to 1970-2037 (the time of day stays).
int32_t UnixTimeFromUtc(const FILETIME& utc);

FILETIME UtcFromDosTimestamp(uint32_t dos);
FILETIME UtcFromUnixTime(int32_t seconds);

}  // namespace qmzip
