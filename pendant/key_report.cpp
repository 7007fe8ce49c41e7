#include "pendant/key_report.h"

KeyEvent DecodeKeyReport(const uint8_t report[kKeyReportSize]) {
    uint32_t word = report[2] | (report[3] << 8) | (report[4] << 16);
    return {word != 0 ? kKeyDown : kKeyUp, word};
}
