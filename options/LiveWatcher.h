// The process-wide watcher of live options: the threads that wait for the
// registry's change notifications and the settings folder's directory reads, and
// post a message to each watching object's window when what it watches moved.
//
// A registry notification ends when the thread that armed it exits, and an
// overlapped directory read is cancelled when the thread that issued it exits:
// so each notification and read is armed, re-armed and closed by the watcher
// thread that owns it, never by the object's thread. Objects hand their
// requests to that thread through a locked queue and a wake event and wait for
// its answer, so StartLiveWatch and StopLiveWatch are synchronous: after
// StopLiveWatch returns, nothing is posted for that watch again.
//
// Notifications are shared: one per distinct registry key and one for the
// settings folder, whatever the number of objects watching them. A thread waits
// for at most 63 of them (WaitForMultipleObjects takes 64 handles, the wake
// event being one); a further one starts another thread. The first watch starts
// a thread, and a thread ends with its last notification.
#pragma once

#include <windows.h>

#include <cstddef>
#include <string>

namespace veska {

// What a watch covers, and the wParam bits of the message the watcher posts.
constexpr unsigned kWatchRegistry = 1;
constexpr unsigned kWatchSettingsFolder = 2;

// The message the watcher posts to a watching object's window; wParam holds the
// kWatch* bits of what moved.
constexpr UINT kLiveChangeMessage = WM_APP + 0x3A1;

// The pause after a first notification before the message is posted, so that a
// burst of changes is taken in one refresh.
constexpr DWORD kLiveDebounceMilliseconds = 100;

struct LiveWatchRequest {
    unsigned what = 0;         // kWatch* bits
    HKEY hive = nullptr;       // the registry key watched: hive and path
    std::wstring keyPath;
    std::wstring folder;       // the settings folder
    HWND window = nullptr;     // where the message goes
};

class LiveWatch;

// Starts a watch and hands it out in *watch (the caller stops it with
// StopLiveWatch). Holds the module's lock count while it runs.
HRESULT StartLiveWatch(const LiveWatchRequest& request, LiveWatch** watch) noexcept;

// Stops a watch: when it returns, the watcher posts nothing more for it, and a
// watcher thread left without notifications has ended. Null is ignored.
void StopLiveWatch(LiveWatch* watch) noexcept;

// The watcher threads running now.
std::size_t LiveWatcherThreadCount() noexcept;

}  // namespace veska
