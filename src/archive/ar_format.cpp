#include "archive/ar_format.h"

#include <cstdio>
#include <cstring>

#include "common/byte_order.h"
#include "logging/log.h"

namespace bk::ar {

namespace {
constexpr const char* kCategory = "ar";
constexpr const char* kSource = "client\\ar\\newone";
}  // namespace

void EncodeHeader(const VsConReIn& h, unsigned char out[kHeaderSize]) {
  using namespace header_field;
  std::memset(out, 0, kHeaderSize);
  StoreBe32(out + kArcSize, h.arcSize);
  StoreBe32(out + kHeadSize, h.headSize);
  out[kResGenNo] = h.resGenNo[0];
  out[kResGenNo + 1] = h.resGenNo[1];
  StoreBe16(out + kDriveNo, h.driveNo);
  StoreBe16(out + kPathNo, h.pathNo);
  StoreBe16(out + kNameCount, h.nameCount);
  StoreBe16(out + kNameMax, h.nameMax);
  out[kCompKind] = h.compKind;
  StoreBe32(out + kSkipSize, h.skipSize);
  StoreBe32(out + kNameSize, h.nameSize);
}

VsConReIn DecodeHeader(const unsigned char in[kHeaderSize]) {
  using namespace header_field;
  VsConReIn h;
  h.arcSize = LoadBe32(in + kArcSize);
  h.headSize = LoadBe32(in + kHeadSize);
  h.resGenNo[0] = in[kResGenNo];
  h.resGenNo[1] = in[kResGenNo + 1];
  h.driveNo = LoadBe16(in + kDriveNo);
  h.pathNo = LoadBe16(in + kPathNo);
  h.nameCount = LoadBe16(in + kNameCount);
  h.nameMax = LoadBe16(in + kNameMax);
  h.compKind = in[kCompKind];
  h.skipSize = LoadBe32(in + kSkipSize);
  h.nameSize = LoadBe32(in + kNameSize);
  return h;
}

int CheckHeader(const VsConReIn& h) {
  char text[160];
  if (h.resGenNo[0] != 1 || h.resGenNo[1] != 0) {
    std::snprintf(text, sizeof text,
                  "The structurally defective ResourceFile: VsConReIn.ResGen_No[0]=%d, "
                  "VsConReIn.ResGen_No[1]=%d",
                  static_cast<int>(static_cast<signed char>(h.resGenNo[0])),
                  static_cast<int>(static_cast<signed char>(h.resGenNo[1])));
    vskLogEvent(kVskMsgInstallError, kCategory, text, 0, kSource, __LINE__);
    vskLogTrace(kCategory, "Resource Error 1");
    return kArDefectiveHeader;
  }
  if (h.compKind != kCompKindNone && h.compKind != kCompKindZlib && h.compKind != kCompKindControl) {
    std::snprintf(text, sizeof text, "The structurally defective ResourceFile: VsConReIn.compKind=%d",
                  static_cast<int>(static_cast<signed char>(h.compKind)));
    vskLogEvent(kVskMsgInstallError, kCategory, text, 0, kSource, __LINE__);
    vskLogTrace(kCategory, "Resource Error 2");
    return kArDefectiveHeader;
  }
  return kArOk;
}

void EncodeEntry(const VsConFileIn& e, unsigned char out[kEntryHeaderSize]) {
  using namespace entry_field;
  std::memset(out, 0, kEntryHeaderSize);
  StoreBe32(out + kEntSize, e.entSize);
  StoreBe32(out + kFileSize, e.fileSize);
  StoreBe32(out + kMDate, e.mDate);
  StoreBe32(out + kMTime, e.mTime);
  StoreBe32(out + kADate, e.aDate);
  StoreBe32(out + kATime, e.aTime);
  StoreBe16(out + kNameNo, e.nameNo);
  StoreBe16(out + kShortNo, e.shortNo);
  StoreBe16(out + kOwnerNo, e.ownerNo);
  StoreBe16(out + kGroupNo, e.groupNo);
  out[kFileKind] = e.fileKind;
  out[kFileMode] = e.fileMode;
  StoreBe32(out + kDataSize, e.dataSize);
  StoreBe32(out + kAssocSize, e.assocSize);
  StoreBe32(out + kNameSize, e.nameSize);
}

VsConFileIn DecodeEntry(const unsigned char in[kEntryHeaderSize]) {
  using namespace entry_field;
  VsConFileIn e;
  e.entSize = LoadBe32(in + kEntSize);
  e.fileSize = LoadBe32(in + kFileSize);
  e.mDate = LoadBe32(in + kMDate);
  e.mTime = LoadBe32(in + kMTime);
  e.aDate = LoadBe32(in + kADate);
  e.aTime = LoadBe32(in + kATime);
  e.nameNo = LoadBe16(in + kNameNo);
  e.shortNo = LoadBe16(in + kShortNo);
  e.ownerNo = LoadBe16(in + kOwnerNo);
  e.groupNo = LoadBe16(in + kGroupNo);
  e.fileKind = in[kFileKind];
  e.fileMode = in[kFileMode];
  e.dataSize = LoadBe32(in + kDataSize);
  e.assocSize = LoadBe32(in + kAssocSize);
  e.nameSize = LoadBe32(in + kNameSize);
  return e;
}

namespace {

// Decimal digits as hexadecimal digits: 2010 -> 0x2010.
std::uint32_t DigitsAsHex(unsigned value, int digits) {
  std::uint32_t code = 0;
  for (int i = 0, shift = 0; i < digits; ++i, shift += 4) {
    code |= static_cast<std::uint32_t>(value % 10) << shift;
    value /= 10;
  }
  return code;
}

// The reverse; false when a digit is above 9.
bool HexAsDigits(std::uint32_t code, int digits, int* value) {
  int v = 0;
  for (int i = digits - 1; i >= 0; --i) {
    const unsigned d = (code >> (4 * i)) & 0xFu;
    if (d > 9) return false;
    v = v * 10 + static_cast<int>(d);
  }
  *value = v;
  return true;
}

}  // namespace

bool arTimeToCodes(std::time_t t, std::uint32_t* dateCode, std::uint32_t* timeCode) {
  const std::tm* local = std::localtime(&t);
  if (local == nullptr) return false;
  const int year = local->tm_year + 1900;
  if (year < 0 || year > 9999) return false;
  *dateCode = (DigitsAsHex(static_cast<unsigned>(year), 4) << 16) |
              (DigitsAsHex(static_cast<unsigned>(local->tm_mon + 1), 2) << 8) |
              DigitsAsHex(static_cast<unsigned>(local->tm_mday), 2);
  *timeCode = (DigitsAsHex(static_cast<unsigned>(local->tm_hour), 2) << 16) |
              (DigitsAsHex(static_cast<unsigned>(local->tm_min), 2) << 8) |
              DigitsAsHex(static_cast<unsigned>(local->tm_sec), 2);
  return true;
}

std::time_t arCodesToTime(std::uint32_t dateCode, std::uint32_t timeCode) {
  int year, month, day, hour, minute, second;
  if (!HexAsDigits(dateCode >> 16, 4, &year) || !HexAsDigits((dateCode >> 8) & 0xFF, 2, &month) ||
      !HexAsDigits(dateCode & 0xFF, 2, &day) || !HexAsDigits(timeCode >> 16, 2, &hour) ||
      !HexAsDigits((timeCode >> 8) & 0xFF, 2, &minute) || !HexAsDigits(timeCode & 0xFF, 2, &second))
    return static_cast<std::time_t>(-1);
  std::tm tm{};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  tm.tm_isdst = 0;  // stored times are taken as standard time
  return std::mktime(&tm);
}

bool IsLegacyLayout(const unsigned char* first, std::size_t length) {
  return length >= legacy_field::kMarker + 2 && first[legacy_field::kMarker] == 'N' &&
         first[legacy_field::kMarker + 1] == 'N';
}

LegacyHeader DecodeLegacyHeader(const unsigned char in[kLegacyHeaderSize]) {
  using namespace legacy_field;
  LegacyHeader h;
  h.namesEnd = LoadLe32(in + kNamesEnd);
  h.firstEntry = LoadLe32(in + kFirstEntry);
  h.driveIndex = static_cast<std::int16_t>(LoadLe16(in + kDriveIndex));
  h.pathIndex = static_cast<std::int16_t>(LoadLe16(in + kPathIndex));
  h.namesStart = LoadLe32(in + kNamesStart);
  return h;
}

void EncodeLegacyHeader(const LegacyHeader& h, unsigned char out[kLegacyHeaderSize]) {
  using namespace legacy_field;
  std::memset(out, 0, kLegacyHeaderSize);
  StoreLe32(out + kNamesEnd, h.namesEnd);
  StoreLe32(out + kFirstEntry, h.firstEntry);
  out[kMarker] = 'N';
  out[kMarker + 1] = 'N';
  StoreLe16(out + kDriveIndex, static_cast<std::uint16_t>(h.driveIndex));
  StoreLe16(out + kPathIndex, static_cast<std::uint16_t>(h.pathIndex));
  StoreLe32(out + kNamesStart, h.namesStart);
}

LegacyEntry DecodeLegacyEntry(const unsigned char in[kLegacyEntrySize]) {
  using namespace legacy_field;
  LegacyEntry e;
  e.entryLength = LoadLe32(in + kEntryLength);
  e.aDate = LoadLe32(in + kADate);
  e.aTime = LoadLe32(in + kATime);
  e.mDate = LoadLe32(in + kMDate);
  e.mTime = LoadLe32(in + kMTime);
  e.nameIndex = static_cast<std::int16_t>(LoadLe16(in + kNameIndex));
  e.attributes = LoadLe32(in + kAttributes);
  e.contentLength = LoadLe32(in + kContentLength);
  return e;
}

void EncodeLegacyEntry(const LegacyEntry& e, unsigned char out[kLegacyEntrySize]) {
  using namespace legacy_field;
  std::memset(out, 0, kLegacyEntrySize);
  StoreLe32(out + kEntryLength, e.entryLength);
  StoreLe32(out + kADate, e.aDate);
  StoreLe32(out + kATime, e.aTime);
  StoreLe32(out + kMDate, e.mDate);
  StoreLe32(out + kMTime, e.mTime);
  StoreLe16(out + kNameIndex, static_cast<std::uint16_t>(e.nameIndex));
  StoreLe32(out + kAttributes, e.attributes);
  StoreLe32(out + kContentLength, e.contentLength);
}

bool LegacyCodesToTime(std::uint32_t date, std::uint32_t time, std::int64_t* seconds) {
  static const int kDaysBefore[12] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
  if (date > 999999 || time > 999999) return false;
  const int yy = static_cast<int>(date / 10000), month = static_cast<int>(date / 100 % 100),
            day = static_cast<int>(date % 100);
  const int hour = static_cast<int>(time / 10000), minute = static_cast<int>(time / 100 % 100),
            second = static_cast<int>(time % 100);
  // The month indexes the table: anything else would read outside it.
  if (month < 1 || month > 12) return false;
  const int year = yy >= 70 ? 1900 + yy : 2000 + yy;
  std::int64_t days = 365LL * (year - 1970);
  for (int y = 1970; y < year; ++y)
    if (y % 4 == 0) ++days;
  days += kDaysBefore[month - 1] + day - 1;
  if (yy % 4 == 0 && month >= 3) ++days;
  *seconds = ((days * 24 + hour) * 60 + minute) * 60 + second - 32400;
  return true;
}

}  // namespace bk::ar
