// Report lengths from real-world report descriptors.
#include "hid/ReportDescriptor.h"

#include <gtest/gtest.h>

#include <vector>

using namespace trm;

TEST(ReportDescriptor, VendorPage64ByteReports) {
    // Vendor-defined page, 64-byte input and output reports, no report IDs (the usual
    // descriptor of a HID bootloader or a vendor HID device).
    const std::vector<std::uint8_t> d{0x06, 0x00, 0xFF, // Usage Page (Vendor 0xFF00)
                                      0x09, 0x01,       // Usage (1)
                                      0xA1, 0x01,       // Collection (Application)
                                      0x15, 0x00,       //   Logical Minimum 0
                                      0x26, 0xFF, 0x00, //   Logical Maximum 255
                                      0x75, 0x08,       //   Report Size 8
                                      0x95, 0x40,       //   Report Count 64
                                      0x09, 0x01,       //   Usage
                                      0x81, 0x02,       //   Input (Data, Var, Abs)
                                      0x95, 0x40,       //   Report Count 64
                                      0x09, 0x01,       //   Usage
                                      0x91, 0x02,       //   Output (Data, Var, Abs)
                                      0xC0};
    const auto info = ParseReportDescriptor(d);
    EXPECT_TRUE(info.valid);
    EXPECT_FALSE(info.numberedReports);
    EXPECT_EQ(info.caps.UsagePage, 0xFF00);
    EXPECT_EQ(info.caps.Usage, 0x01);
    EXPECT_EQ(info.caps.InputReportByteLength, 65);
    EXPECT_EQ(info.caps.OutputReportByteLength, 65);
    EXPECT_EQ(info.caps.FeatureReportByteLength, 0);
}

TEST(ReportDescriptor, ReportIdsTakeTheLongestReport) {
    // A keyboard with a consumer-control report: report 1 is 8 bytes of input and 1 of
    // output, report 2 is 2 bytes of input.
    const std::vector<std::uint8_t> d{
        0x05, 0x01, 0x09, 0x06, 0xA1, 0x01, // Generic Desktop, Keyboard, Collection
        0x85, 0x01,                         // Report ID 1
        0x05, 0x07, 0x19, 0xE0, 0x29, 0xE7, 0x15, 0x00, 0x25, 0x01, 0x75, 0x01,
        0x95, 0x08, 0x81, 0x02,             // 8 x 1 bit modifiers
        0x95, 0x01, 0x75, 0x08, 0x81, 0x01, // reserved byte
        0x95, 0x05, 0x75, 0x01, 0x05, 0x08, 0x19, 0x01, 0x29, 0x05, 0x91, 0x02, // 5 LED bits out
        0x95, 0x01, 0x75, 0x03, 0x91, 0x01, // 3 bits padding out
        0x95, 0x06, 0x75, 0x08, 0x15, 0x00, 0x25, 0x65, 0x05, 0x07, 0x19, 0x00,
        0x29, 0x65, 0x81, 0x00,             // 6 key bytes
        0xC0,                               //
        0x05, 0x0C, 0x09, 0x01, 0xA1, 0x01, // Consumer Control
        0x85, 0x02,                         // Report ID 2
        0x15, 0x00, 0x26, 0xFF, 0x03, 0x19, 0x00, 0x2A, 0xFF, 0x03, 0x75, 0x10,
        0x95, 0x01, 0x81, 0x00, // one 16-bit usage
        0xC0};
    const auto info = ParseReportDescriptor(d);
    EXPECT_TRUE(info.valid);
    EXPECT_TRUE(info.numberedReports);
    EXPECT_EQ(info.caps.UsagePage, 0x01);
    EXPECT_EQ(info.caps.Usage, 0x06);
    EXPECT_EQ(info.caps.InputReportByteLength, 9);  // report 1: 8 bytes + ID
    EXPECT_EQ(info.caps.OutputReportByteLength, 2); // 1 byte + ID
}

TEST(ReportDescriptor, PushPopRestoresGlobalState) {
    const std::vector<std::uint8_t> d{0x06, 0xA0, 0xFF, 0x09,
                                      0x01, 0xA1, 0x01,       // vendor page, collection
                                      0x75, 0x08, 0x95, 0x20, // 32 x 8 bits
                                      0xA4,                   // Push
                                      0x75, 0x10, 0x95, 0x04, // 4 x 16 bits
                                      0x81, 0x02,             // Input: 8 bytes
                                      0xB4,                   // Pop: back to 32 x 8
                                      0x81, 0x02,             // Input: 32 bytes
                                      0x91, 0x02,             // Output: 32 bytes
                                      0xB1, 0x02,             // Feature: 32 bytes
                                      0xC0};
    const auto info = ParseReportDescriptor(d);
    EXPECT_TRUE(info.valid);
    EXPECT_EQ(info.caps.InputReportByteLength, 41);
    EXPECT_EQ(info.caps.OutputReportByteLength, 33);
    EXPECT_EQ(info.caps.FeatureReportByteLength, 33);
}

TEST(ReportDescriptor, TruncatedAndLongItemsStayInBounds) {
    // A 4-byte item cut short: the parse stops, invalid, with what it found.
    const std::vector<std::uint8_t> cut{0x75, 0x08, 0x95, 0x40, 0x81, 0x02, 0x27, 0xFF, 0xFF};
    const auto a = ParseReportDescriptor(cut);
    EXPECT_FALSE(a.valid);
    EXPECT_EQ(a.caps.InputReportByteLength, 65);
    // A long item is skipped whole; one whose size runs past the end is refused.
    const std::vector<std::uint8_t> longItem{0xFE, 0x02, 0x10, 0xAA, 0xBB, 0x75,
                                             0x08, 0x95, 0x02, 0x81, 0x02};
    const auto b = ParseReportDescriptor(longItem);
    EXPECT_TRUE(b.valid);
    EXPECT_EQ(b.caps.InputReportByteLength, 3);
    EXPECT_FALSE(ParseReportDescriptor(std::vector<std::uint8_t>{0xFE, 0x40, 0x10, 0x00}).valid);
    EXPECT_FALSE(ParseReportDescriptor(std::vector<std::uint8_t>{0xFE}).valid);
    // Empty: nothing known.
    const auto e = ParseReportDescriptor({});
    EXPECT_TRUE(e.valid);
    EXPECT_EQ(e.caps.InputReportByteLength, 0);
    // Absurd sizes are capped, not wrapped.
    const std::vector<std::uint8_t> huge{0x77, 0xFF, 0xFF, 0xFF, 0x7F, 0x97,
                                         0xFF, 0xFF, 0xFF, 0x7F, 0x81, 0x02};
    EXPECT_EQ(ParseReportDescriptor(huge).caps.InputReportByteLength, 0xFFFF);
}
