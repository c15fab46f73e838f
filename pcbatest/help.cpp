// Help texts. Every line is padded with spaces to 97 columns, except lines
// holding a pair of double quotes (and the EEPROM example command), which are
// 95 columns long: that is how the test stations have always received them.
#include "help.h"

#include <array>
#include <cstdio>
#include <span>

namespace {

constexpr std::size_t kWideLine = 97;
constexpr std::size_t kNarrowLine = 95;

struct Cell {
  int column;
  std::string_view text;
};
// One printed line: up to six cells, each starting at its column.
using Line = std::array<Cell, 6>;

struct TestHelp {
  std::string_view test;
  Line header;
  std::span<const Line> rows;
  std::string_view exampleCommand;
  std::string_view exampleResponse;
  bool narrowCommand;  // the example command line is 95 columns although it has no quotes
};

void Emit(std::string_view text) { std::fwrite(text.data(), 1, text.size(), stdout); }

std::size_t WidthOf(const Line& line) {
  int quotes = 0;
  for (const Cell& cell : line) {
    for (char c : cell.text) quotes += (c == '"') ? 1 : 0;
  }
  return quotes >= 2 ? kNarrowLine : kWideLine;
}

void PrintPadded(const Line& line, std::size_t width) {
  std::array<char, kWideLine + 1> buf{};
  buf.fill(' ');
  for (const Cell& cell : line) {
    if (cell.text.empty() || cell.column < 0) continue;
    const auto start = static_cast<std::size_t>(cell.column);
    for (std::size_t i = 0; i < cell.text.size() && start + i < width; ++i) buf[start + i] = cell.text[i];
  }
  buf[width] = '\n';
  Emit(std::string_view(buf.data(), width + 1));
}

void PrintPadded(const Line& line) { PrintPadded(line, WidthOf(line)); }

void PrintBlank() { PrintPadded(Line{}, kWideLine); }

void PrintRule() {
  std::array<char, kWideLine + 1> buf{};
  buf.fill('-');
  buf[0] = ' ';
  buf[kWideLine] = '\n';
  Emit(std::string_view(buf.data(), buf.size()));
}

void PrintStars() {
  std::array<char, kWideLine + 1> buf{};
  buf.fill('*');
  buf[kWideLine] = '\n';
  Emit(std::string_view(buf.data(), buf.size()));
}

constexpr Line kHeaderCommon{{{1, "Test Step"}, {12, "Step Item"}, {40, "Data"}, {56, "Comments"}}};

constexpr Line kLedRows[] = {
    {{{1, "LED"}, {17, "red"}, {40, "0 or 1"}, {56, "Does not work while KV2 application runs"}}},
    {{{17, "yellow"}}},
    {{{17, "green"}}},
};

constexpr Line kComportRows[] = {
    {{{0, "COMPORT"}, {12, "RS232toRS485"}, {40, "string of data"}, {56, "Fixed 115200 baud"}}},
    {{{12, "RS485toRS232"}}},
    {{{12, "RS232toRS232"}}},
};

constexpr Line kBuzzerRows[] = {
    {{{1, "BUZZER"}, {12, "activate"}, {40, "frequency"}, {56, "In hertz"}}},
    {{{12, "deactivate"}}},
};

constexpr Line kBacklightRows[] = {
    {{{1, "BL"}, {12, "activate"}, {40, "level"}, {56, "0 to 8"}}},
    {{{12, "deactivate"}}},
};

constexpr Line kCanRows[] = {
    {{{1, "CAN"}, {12, "CAN1toCAN2"}, {40, "string of data"}, {56, "Max 8 bytes of data and ID = 0x01020304"}}},
    {{{12, "CAN2toCAN1"}}},
    {{{12, "CAN1"}}},
    {{{12, "CAN2"}}},
};

constexpr Line kCon500Rows[] = {
    {{{1, "CON500"}, {12, "p8 - p19"}, {40, "0/1"}, {56, "Test extension connector on KV2T"}}},
};

constexpr Line kRtcRows[] = {
    {{{1, "RTC"}, {12, "setTime"}, {40, "date string"}, {56, "format = \"'2017-06-22 10:50:00'\""}}},
    {{{12, "getTime"}, {40, "RTC/system"}}},
    {{{12, "calibrate"}, {40, "date string"}, {56, "format = \"'2017-06-22 10:50:00'\""}}},
};

constexpr Line kUsbRows[] = {
    {{{1, "USB"}, {21, "/path/to/device/"}, {44, "device_name_to_search_for"}}},
};

constexpr Line kLcdRows[] = {
    {{{1, "LCD"}, {12, "readCal"}, {56, "Returns calibration string"}}},
    {{{12, "reCal"}, {56, "Start re-calibration process"}}},
};

constexpr Line kPdataRows[] = {
    {{{1, "************** THESE DATA CAN ONLY BE PROGRAMMED ONCE - STORED IN OTP MEMORY ******************"}}},
    {{{1, "PDATA"}, {12, "setMAC0/getMAC0"}, {40, "data"}, {56, "format = 0123456789ab"}}},
    {{{12, "setMAC1/getMAC1"}, {56, "format = 0123456789ab"}}},
    {{{12, "setSN/getSN"}, {56, "format = 01234567898"}}},
    {{{12, "setPN/getPN"}, {56, "format = 318400.520"}}},
    {{{12, "getVN/setVN"}, {56, "format = 1.2"}}},
};

constexpr Line kDipRows[] = {
    {{{1, "DIP"}, {12, "getValue"}, {40, "data"}}},
};

constexpr Line kKeypadRows[] = {
    {{{1, "KEYPAD"}, {12, "getValue"}, {40, "data"}, {56, "1 = key down"}}},
    {{{56, "2 = key up"}}},
    {{{56, "3 = key enter"}}},
};

constexpr Line kEepromRows[] = {
    {{{1, "EEPROM"}, {12, "read"}, {40, "sense"}, {56, "/path/to/file.bin"}}},
    {{{40, "io"}, {56, "/path/to/file.bin"}}},
    {{{12, "erase"}, {40, "sense"}, {56, "Erase eeprom except prod data"}}},
    {{{40, "io"}}},
    {{{12, "write"}, {40, "sense"}, {56, "/path/to/file.bin"}}},
    {{{40, "io"}, {56, "/path/to/file.bin"}}},
};

// The channel numbers are right-aligned so that every "=" stands at column 58.
#define KV_SENSE_CHANNELS                                                                                              \
  {{{56, "1 = Voltage"}}}, {{{56, "2 = Current"}}}, {{{56, "3 = Temperature (AD590)"}}}, {{{56, "4 = Battery fuse"}}}, \
      {{{56, "5 = Load fuse"}}}, {{{56, "6 = Symmetry 1"}}}, {{{56, "7 = Symmetry 2"}}}, {{{56, "8 = Symmetry 3"}}},   \
      {{{56, "9 = Symmetry 4"}}}, {{{55, "10 = Prog input 1"}}}, {                                                     \
    {                                                                                                                  \
      { 55, "11 = Prog input 2" }                                                                                      \
    }                                                                                                                  \
  }
#define KV_IO_CHANNELS                                                                                    \
  {{{40, "io"}, {56, "1 = Prog input 3"}}}, {{{56, "2 = Prog input 4"}}}, {{{56, "3 = Prog input 5"}}}, { \
    {                                                                                                     \
      { 56, "4 = Prog input 6" }                                                                          \
    }                                                                                                     \
  }

constexpr Line kInputRows[] = {
    {{{1, "INPUT"}, {12, "readRaw"}, {40, "sense"}, {56, "returns raw value from AD converter"}}},
    KV_SENSE_CHANNELS,
    KV_IO_CHANNELS,
    {{{12, "readValue"}, {40, "sense"}, {56, "returns calibrated value"}}},
    KV_SENSE_CHANNELS,
    KV_IO_CHANNELS,
    {{{12, "readCalib"}, {40, "sense"}, {56, "returns hi and low calibration point"}}},
    KV_SENSE_CHANNELS,
    KV_IO_CHANNELS,
};
#undef KV_SENSE_CHANNELS
#undef KV_IO_CHANNELS

// Channel 3 of the main card drives the green LED; the help has always named
// it "red LED" and the stations' operators know the text as it is.
constexpr Line kOutputRows[] = {
    {{{77, "time in ms  (0=NA"}}},
    {{{1, "OUTPUT"}, {12, "set"}, {30, "main"}, {42, "1 = red LED"}, {57, "0 = off"}}},
    {{{42, "2 = yellow LED"}, {57, "1 = on"}}},
    {{{42, "3 = red LED"}, {57, "2 = latched on"}}},
    {{{57, "3 = latched off"}}},
    {{{30, "sense"}, {42, "1 = LVD1"}}},
    {{{42, "2 = LVD2"}}},
    {{{42, "3 = Alarm relay 1"}}},
    {{{42, "4 = Alarm relay 2"}}},
    {{{30, "io"}, {42, "1 = Prog output 1"}}},
    {{{42, "2 = Prog output 2"}}},
    {{{42, "3 = Prog output 3"}}},
    {{{42, "4 = Prog output 4"}}},
};

constexpr Line kCardInfoRows[] = {
    {{{1, "CARDINFO"}, {12, "get"}, {30, "sense"}, {51, "SW"}, {71, "Software version"}}},
    {{{30, "io"}, {51, "DS"}, {71, "Description"}}},
    {{{51, "PN"}, {71, "Part number"}}},
    {{{51, "SN"}, {71, "Serial number"}}},
    {{{51, "VN"}, {71, "Version"}}},
    {{{51, "PD"}, {71, "Production date"}}},
    {{{12, "set"}, {30, "sense"}, {51, "DS"}, {71, "Description  (use 'text')"}}},
    {{{30, "io"}, {51, "PN"}, {71, "Part number"}}},
    {{{51, "SN"}, {71, "Serial number"}}},
    {{{51, "VN"}, {71, "Version"}}},
    {{{51, "PD"}, {71, "Production date"}}},
};

const TestHelp kHelps[] = {
    {"LED",
     {{{1, "Test Step"}, {17, "Step Item"}, {40, "Data"}, {56, "Comments"}}},
     kLedRows,
     "KV2TPCBATest LED red 1",
     "LED red 1",
     false},
    {"COMPORT", kHeaderCommon, kComportRows, "KV2TPCBATest COMPORT RS232toRS485 \"Test string\"",
     "COMPORT RS232toRS485 \"Test string\"", false},
    {"BUZZER", kHeaderCommon, kBuzzerRows, "KV2TPCBATest BUZZER activate 3500", "BUZZER activate 3500", false},
    {"BL", kHeaderCommon, kBacklightRows, "KV2TPCBATest BL activate 5", "BL activate 5", false},
    {"CAN", kHeaderCommon, kCanRows, "KV2TPCBATest CAN CAN1toCAN2 test", "CAN CAN1toCAN2 test", false},
    {"CON500", kHeaderCommon, kCon500Rows, "KV2TPCBATest CON500 p8 1", "CON500 p8 1", false},
    {"RTC", kHeaderCommon, kRtcRows, "KV2TPCBATest RTC setTime \"'2018-12-19 17:08:00'\"",
     "RTC setTime  \"'2018-12-19 17:08:00'\"", false},
    {"USB",
     {{{1, "Test Step"}, {21, "Path"}, {44, "Device name"}, {72, "Comments"}}},
     kUsbRows,
     "KV2TPCBATest USB /dev/ sda1",
     "USB /dev/ sda1 sda1",
     false},
    {"LCD", kHeaderCommon, kLcdRows, "KV2TPCBATest LCD reCal", "LCD reCal", false},
    {"PDATA", kHeaderCommon, kPdataRows, "KV2TPCBATest PDATA setMAC0 02a0c1c12345", "PDATA setMAC0 02a0c1c12345",
     false},
    {"DIP", kHeaderCommon, kDipRows, "KV2TPCBATest DIP getValue", "DIP getValue 0", false},
    {"KEYPAD", kHeaderCommon, kKeypadRows, "KV2TPCBATest KEYPAD getValue", "KEYPAD getValue 0", false},
    {"EEPROM",
     {{{1, "Test Step"}, {12, "Step Item"}, {40, "Card"}, {56, "Path"}}},
     kEepromRows,
     "KV2TPCBATest EEPROM read sense /home/root/sense.bin",
     "EEPROM export sense /home/root/sense.bin",
     true},
    {"INPUT",
     {{{1, "Test Step"}, {12, "Step Item"}, {40, "Card"}, {56, "Channel"}}},
     kInputRows,
     "KV2TPCBATest INPUT readCalib sense 1",
     "readCalib sense 1 7500 59778 0 0",
     false},
    {"OUTPUT",
     {{{1, "Test Step"}, {12, "Step Item"}, {30, "Card"}, {42, "Channel"}, {57, "Activation"}, {76, "Time (ms)"}}},
     kOutputRows,
     "KV2TPCBATest OUTPUT set io 1 1 0",
     "OUTPUT set io 1 1 0",
     false},
    {"CARDINFO",
     {{{1, "Test Step"}, {12, "Step Item"}, {30, "Card"}, {51, "Data Element"}, {71, "Comment"}}},
     kCardInfoRows,
     "KV2TPCBATest CARDINFO get sense SW",
     "OUTPUT CARDINFO get sense SW 1",
     false},
};

struct OverviewRow {
  std::string_view test;
  std::string_view comment;
  std::string_view hint;
};

// The OUTPUT hint names "OUPUT"; stations print it as it is, and the tool
// treats that word as an unknown test.
constexpr OverviewRow kOverview[] = {
    {"LED", "test main card LED's", "TYPE: \"KV2TPCBATest LED\" for more help"},
    {"COMPORT", "test RS232 and RS485", "TYPE: \"KV2TPCBATest COMPORT\" for more help"},
    {"BUZZER", "test main card buzzer", "TYPE: \"KV2TPCBATest BUZZER\" for more help"},
    {"BL", "test main card backlight", "TYPE: \"KV2TPCBATest BL\" for more help"},
    {"CAN", "test CAN bus connection", "TYPE: \"KV2TPCBATest CAN\" for more help"},
    {"CON500", "test extension connector KV2T", "TYPE: \"KV2TPCBATest CON500\" for more help"},
    {"RTC", "set time and date on RTC", "TYPE: \"KV2TPCBATest RTC\" for more help"},
    {"USB", "test USB host port", "TYPE: \"KV2TPCBATest USB\" for more help"},
    {"LCD", "re-calibrates the screen on KV2T", "TYPE: \"KV2TPCBATest LCD\" for more help"},
    {"PDATA", "used to set module production data", "TYPE: \"KV2TPCBATest PDATA\" for more help"},
    {"DIP", "read DIP switch setting", "TYPE: \"KV2TPCBATest DIP\" for more help"},
    {"KEYPAD", "read keypad value", "TYPE: \"KV2TPCBATest KEYPAD\" for more help"},
    {"EEPROM", "eeprom operations", "TYPE: \"KV2TPCBATest EEPROM\" for more help"},
    {"INPUT", "read analog inputs", "TYPE: \"KV2TPCBATest INPUT\" for more help"},
    {"OUTPUT", "set digital outputs", "TYPE: \"KV2TPCBATest OUPUT\" for more help"},
    {"CARDINFO", "read prod. data and sw version", "TYPE: \"KV2TPCBATest CARDINFO\" for more help"},
};

void PrintExampleLine(std::string_view label, std::string_view text, bool narrow) {
  const Line line{{{14, label}, {25, text}}};
  PrintPadded(line, narrow ? kNarrowLine : WidthOf(line));
}

}  // namespace

void pcba_PrintBanner() {
  std::printf("\n ---------------------- QUORVAN Production test application version: %s -------------------------\n",
              kPcbaVersion.data());
}

void pcba_PrintWarning() {
  Emit("\n");
  PrintStars();
  PrintPadded(Line{{{0, "* STOP KORVEL APPLICATION BEFORE USING TEST COMMANDS USING:"}}});
  PrintPadded(Line{{{0, "*                    systemctl stop app"}}});
  PrintStars();
  Emit("\n");
}

void pcba_PrintOverview() {
  Emit("\n");
  PrintPadded(Line{{{1, "Test"}, {13, "Comments"}}});
  PrintRule();
  for (const OverviewRow& row : kOverview) PrintPadded(Line{{{1, row.test}, {13, row.comment}, {48, row.hint}}});
  for (int i = 0; i < 3; ++i) PrintBlank();
}

bool pcba_PrintTestHelp(std::string_view test) {
  for (const TestHelp& help : kHelps) {
    if (help.test != test) continue;
    Emit("\n");
    PrintPadded(help.header);
    PrintRule();
    for (const Line& row : help.rows) PrintPadded(row);
    PrintBlank();
    PrintPadded(Line{{{4, "example:"}}});
    PrintExampleLine("command  : ", help.exampleCommand, help.narrowCommand);
    PrintExampleLine("response : ", help.exampleResponse, false);
    PrintBlank();
    return true;
  }
  return false;
}
