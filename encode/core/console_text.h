// The encoder's Chinese console texts, as the GB2312 bytes the appliance prints. Each constant has its
// characters in the comment beside it; a unit test converts those characters with iconv and compares.
#pragma once

namespace ConsoleText {

// "TS流接收端：ip = %s, len = %d\n"
inline constexpr char kTsReceiverIp[] = "TS\xC1\xF7\xBD\xD3\xCA\xD5\xB6\xCB\xA3\xBAip = %s, len = %d\n";
// "TS流接收端端口：%d\n"
inline constexpr char kTsReceiverPort[] = "TS\xC1\xF7\xBD\xD3\xCA\xD5\xB6\xCB\xB6\xCB\xBF\xDA\xA3\xBA%d\n";
// "帧率设置：%d\n"
inline constexpr char kFrameRateSet[] = "\xD6\xA1\xC2\xCA\xC9\xE8\xD6\xC3\xA3\xBA%d\n";
// "I帧间隔值：%d\n"
inline constexpr char kIntraInterval[] = "I\xD6\xA1\xBC\xE4\xB8\xF4\xD6\xB5\xA3\xBA%d\n";
// "Error: 创建不了同步进程"
inline constexpr char kNoSignalThreadFailed[] = "Error: \xB4\xB4\xBD\xA8\xB2\xBB\xC1\xCB\xCD\xAC\xB2\xBD\xBD\xF8\xB3\xCC";
// "Error: 从编码进进程拿数据失败"
inline constexpr char kNoSignalGetFailed[] = "Error: \xB4\xD3\xB1\xE0\xC2\xEB\xBD\xF8\xBD\xF8\xB3\xCC\xC4\xC3\xCA\xFD\xBE\xDD\xCA\xA7\xB0\xDC";

} // namespace ConsoleText
