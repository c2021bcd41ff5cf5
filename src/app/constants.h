// Numbers and names the update driver shares with its window, the client
// and other updater instances. Kept here so that no literal is repeated.
#pragma once

#include <cstdint>

#include "base/text.h"
#include "window/window.h"

namespace quillup {

// Private messages of the update window; lParam is always 0.
constexpr uint32_t WM_UPDATE_STATUS = 2026;        // wParam: const WString* (send only)
constexpr uint32_t WM_UPDATE_PERCENT = 2027;       // wParam: percent 0..100 (posted)
constexpr uint32_t WM_UPDATE_ENABLE_STOP = 2028;   // wParam: 0 disables the stop button
constexpr uint32_t WM_UPDATE_WORK_DONE = 2029;     // wParam: 1 success, 0 failure
constexpr uint32_t WM_UPDATE_SHOW_TIP = 2030;      // accepted from other processes
constexpr uint32_t WM_UPDATE_CLIENT_ERROR = 2031;  // a forced repair pack was found
constexpr uint32_t WM_UPDATE_SHOW_WINDOW = 9999;   // sent by a second instance

// Timers of the update window.
constexpr uint32_t TIMER_WATCH_CLIENT = 2024;
constexpr uint32_t TIMER_WAIT_WORKER = 2025;
constexpr uint32_t kWatchClientPeriodMs = 500;
constexpr uint32_t kWaitWorkerPeriodMs = 50;

// Controls of dialog template 102.
constexpr int IDC_PERCENT = 1001;
constexpr int IDC_STATUS = 1002;
constexpr int IDC_STOP = 1003;

// Dialog results.
using plat::IDCANCEL;
using plat::IDOK;

// The polling step of every wait of the worker.
constexpr int kPollMs = 50;

// Update flag values (QUILLUP_FLAG).
constexpr int kFlagNone = 0;
constexpr int kFlagDownloaded = 1;
constexpr int kFlagFullUpdate = 2;
constexpr int kFlagSwapping = 3;

// Report process codes.
constexpr int kCodeStart = 4000;
constexpr int kCodeListDownload = 4001;
constexpr int kCodeSelection = 4002;
constexpr int kCodePackDownload = 4003;
constexpr int kCodeStaging = 4004;
constexpr int kCodeSwap = 4005;

// Exit status of the process: 0 when the run ended well (updated, nothing
// to do, updating disabled, a clean-up run, a replacement that started the
// new updater); README lists them for integrators.
constexpr int kExitOk = 0;
constexpr int kExitUpdateFailed = 1;
constexpr int kExitNoConfig = 2;
constexpr int kExitDuplicate = 3;
constexpr int kExitListRefused = 4;
constexpr int kExitReplaceFailed = 5;

// Suffixes under the installation directory.
inline const WString kUpdateDirSuffix = u"/update";
inline const WString kUnzipDirSuffix = u"/update/unzip";
inline const WString kReadyDirSuffix = u"/update/ready";
inline const WString kLocalListName = u"/servicepacksNum.xml";
inline const WString kProxyFileSuffix = u"/config/LogonUserSetProxy.xml";
inline const WString kConfigDirSuffix = u"/config";
inline const WString kForbidUpdateSuffix = u"/config/ForbidUpdate.txt";
inline const WString kLogFileSuffix = u"/Log/tarvex.log";
inline const WString kDataDirSuffix = u"/data";
inline const WString kForceListUrlSuffix = u"/force_servicepack.xml";
inline const WString kPackListUrlSuffix = u"/servicepacksNum.xml";

// Command-line switches, searched as plain substrings.
inline const WString kSwitchMsgWnd = u"/msgwnd:";
inline const WString kSwitchReplace = u"/replace:";
inline const WString kSwitchReplace2 = u"/replace2:";
inline const WString kSwitchAuto2 = u"/auto2";
inline const WString kSwitchAuto = u"/auto";

}  // namespace quillup
