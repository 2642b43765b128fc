// Pure decoders for the MCU console: a payload from the daemon in, one
// readable line out. Every reader checks the payload's length first, so a
// short or malformed payload is shown as such and never read past its end.
#pragma once

#include <string>

#include "common/public.h"

// Bytes as upper-case hex pairs with blanks: "05 0B".
std::string ToHexWords(const uchar* src, int size);

// "what (truncated: 13 06 02 FF)": a payload too short for its layout.
std::string DescribeTruncated(const char* what, const uchar* p, int n);

// One line (no line end) for any payload the daemon sends to the MCU.
std::string DescribePayload(const uchar* payload, int size);

// The parts, for the tests and for the console's own lines.
std::string DescribeSlotByte(uchar slot);      // "slot 1 [Dirac Live Bass Control]"
std::string DescribeGainTenths(short tenths);  // "-12.5 dB"
std::string DescribeVersion(const uchar* p, int n);
std::string DescribeBuildDate(const uchar* p, int n);
std::string DescribeDiracState(const uchar* p, int n);
std::string DescribeFilterReport(const uchar* p, int n);
std::string DescribeFilterInfo(const uchar* p, int n);
std::string DescribeMainVolume(const uchar* p, int n);
std::string DescribeUuid(const uchar* p, int n);

// Network and clock payloads (decode_net.cpp).
std::string DescribeMac(const uchar* mac);  // "11:22:33:44:55:66"
std::string DescribeIPv4(const uchar* ip);  // "192.168.1.20"
std::string DescribeWifiPage(const uchar* p, int n);
std::string DescribeWifiReport(const uchar* p, int n);
std::string DescribeLanReport(const uchar* p, int n);
std::string DescribeWifiMac(const uchar* p, int n);
std::string DescribeDateTime(const uchar* p, int n);
