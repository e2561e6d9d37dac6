// Windows implementation of the platform layer.
//
// Notifications travel through the calling thread's real message queue. Each thread that
// opens a transport gets a hidden message-only window of the library:
//   - reading sockets use WSAAsyncSelect, so Winsock posts FD_CONNECT, FD_READ and FD_CLOSE
//     to that window; after every recv that leaves bytes unread it posts FD_READ again, so a
//     handler that takes one byte per notification drains the connection;
//   - each open serial port has a reception thread that fills a bounded buffer and posts a
//     "characters available" message to the window of the thread that opened the port.
// ProcessMessages pumps the thread's whole queue (the host's windows included), so the same
// notifications also arrive in the host's own message loop between calls.
#include "platform.h"
#include "posted_callbacks.h"

// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <mstcpip.h>
#include <windows.h>
// clang-format on

#include <algorithm>
#include <atomic>
#include <cassert>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <vector>

extern "C" IMAGE_DOS_HEADER __ImageBase;

namespace plat {

namespace {

// ---- the thread's notification window -------------------------------------------------

constexpr UINT kMsgSerial = WM_APP + 1;          // wParam: port id
constexpr UINT kMsgSocketFirst = WM_APP + 0x100; // one message number per reading socket
constexpr UINT kMsgSocketLast = 0xBFFF;
constexpr int kMaxMessagesPerCall = 4096;

class WinTcpClient;
class WinSerialPort;

struct ThreadState {
    HWND hwnd = nullptr;
    std::map<UINT, WinTcpClient*> sockets;    // by message number
    std::map<uint32_t, WinSerialPort*> ports; // by port id
    int users = 0;                            // transports alive on this thread
    int dispatching = 0;                      // nesting depth of the window procedure
};

thread_local ThreadState* t_state = nullptr;

std::atomic<UINT> g_socketCounter{0};
std::atomic<uint32_t> g_nextPortId{1};
// Read by every thread's tick counter and weight texts; set by tests and users at any time.
std::atomic<uint32_t> g_tickOffset{0};
std::atomic<char> g_decimalOverride{0};

const char kWindowClass[] = "Tarvel6Notify";

HINSTANCE ModuleHandle() {
    return reinterpret_cast<HINSTANCE>(&__ImageBase);
}

LRESULT CALLBACK NotifyWndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);

bool RegisterWindowClass() {
    static std::once_flag once;
    static bool ok = false;
    std::call_once(once, [] {
        WNDCLASSA wc{};
        wc.lpfnWndProc = NotifyWndProc;
        wc.hInstance = ModuleHandle();
        wc.lpszClassName = kWindowClass;
        ok = RegisterClassA(&wc) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
    });
    return ok;
}

ThreadState& State() {
    if (t_state == nullptr) t_state = new ThreadState();
    return *t_state;
}

// The thread's window, created on first use; nullptr when it cannot be created.
HWND Window() {
    ThreadState& st = State();
    if (st.hwnd == nullptr && RegisterWindowClass())
        st.hwnd = CreateWindowExA(0, kWindowClass, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                  ModuleHandle(), nullptr);
    return st.hwnd;
}

// Destroys the window once nothing on this thread needs it any more, so that the library can
// be unloaded without leaving a window whose procedure is gone. Not done from inside the
// window procedure; the outermost dispatch does it on its way out.
void ReleaseWindowIfIdle() {
    ThreadState* st = t_state;
    if (st == nullptr || st->users > 0 || st->dispatching > 0 || st->hwnd == nullptr) return;
    DestroyWindow(st->hwnd);
    st->hwnd = nullptr;
}

void EnsureWinsock() {
    static std::once_flag once;
    std::call_once(once, [] {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
    });
}

// Announces again what waits without a notification on its way: unread bytes of a reading
// socket with a handler, characters of a serial port with a handler. Winsock posts the next
// read notification from within recv on Windows but a moment later under Wine, so a pass over
// the queue could otherwise end while bytes still wait. Returns whether it posted anything.
bool KickPending();

// The system's text for an error code, without its line break.
std::string ErrorText(DWORD code) {
    char buf[256] = {};
    const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, code, 0, buf, sizeof buf, nullptr);
    std::string text(buf, n);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
        text.pop_back();
    return text.empty() ? "error " + std::to_string(code) : text;
}

} // namespace

// ---- time -----------------------------------------------------------------------------

uint32_t TickCount() {
    return GetTickCount() + g_tickOffset.load(std::memory_order_relaxed);
}

void SetTickCount(uint32_t value) {
    g_tickOffset.store(value - GetTickCount(), std::memory_order_relaxed);
}

void SleepMs(uint32_t ms) {
    Sleep(ms);
}

// ---- messages -------------------------------------------------------------------------

void ProcessMessages() {
    detail::RunDueCallbacks();
    // Until the queue is empty and no transport has anything left to announce; a count of
    // messages bounds one call, so a flooding peer cannot hold the caller forever.
    KickPending();
    for (int handled = 0; handled < kMaxMessagesPerCall;) {
        MSG msg;
        if (!PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (!KickPending()) break;
            continue;
        }
        if (msg.message == WM_QUIT) {
            PostQuitMessage(static_cast<int>(msg.wParam)); // the host's loop must still see it
            break;
        }
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
        ++handled;
    }
    ReleaseWindowIfIdle();
}

void WaitMessages(uint32_t ms) {
    const uint64_t limit = detail::UntilNextCallback(ms);
    if (KickPending() || limit == 0) return;
    MsgWaitForMultipleObjectsEx(0, nullptr, static_cast<DWORD>(std::min<uint64_t>(limit, 60000)),
                                QS_ALLINPUT, MWMO_INPUTAVAILABLE);
}

void WaitAndProcess(uint32_t ms) {
    WaitMessages(ms);
    ProcessMessages();
}

void CatchUp() {
    // The host's own message loop has handled what came in between calls.
}

// ---- locale ---------------------------------------------------------------------------

std::string SystemDecimalSeparator() {
    if (const char sep = g_decimalOverride.load(std::memory_order_relaxed); sep != 0)
        return std::string(1, sep);
    const int size = GetLocaleInfoA(LOCALE_SYSTEM_DEFAULT, LOCALE_SDECIMAL, nullptr, 0);
    if (size <= 1) return ".";
    std::string sep(static_cast<size_t>(size), '\0');
    const int got = GetLocaleInfoA(LOCALE_SYSTEM_DEFAULT, LOCALE_SDECIMAL, sep.data(), size);
    if (got <= 1) return ".";
    sep.resize(static_cast<size_t>(got - 1)); // drop the terminating zero
    return sep;
}

void SetDecimalSeparator(char sep) {
    g_decimalOverride = sep;
}

// ---- asynchronous TCP client ----------------------------------------------------------

namespace {

class WinTcpClient final : public TcpClient {
  public:
    WinTcpClient() {
        EnsureWinsock();
        ++State().users;
    }

    ~WinTcpClient() override {
        assert(OwnedHere());
        Drop();
        if (t_state != nullptr) --t_state->users;
        ReleaseWindowIfIdle();
    }

    void Open(const std::string& address, int port) override {
        if (state_ != Conn::Closed) return;
        failed_ = false;
        peerClosed_ = false;
        failure_.clear();
        if (!OwnedHere()) {
            failed_ = true;
            failure_ = kForeignThread;
            return;
        }
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(static_cast<u_short>(port));
        HWND hwnd = Window();
        if (hwnd == nullptr || port <= 0 || port > 65535 ||
            inet_pton(AF_INET, address.c_str(), &sa.sin_addr) != 1) {
            Fail(WSAEINVAL);
            return;
        }
        sock_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        if (sock_ == INVALID_SOCKET) {
            Fail(WSAGetLastError());
            return;
        }
        BOOL one = TRUE;
        setsockopt(sock_, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one),
                   sizeof one);
        if (keepAliveS_ > 0) {
            tcp_keepalive ka{1, static_cast<u_long>(keepAliveS_) * 1000u, 2000u};
            DWORD got = 0;
            WSAIoctl(sock_, SIO_KEEPALIVE_VALS, &ka, sizeof ka, nullptr, 0, &got, nullptr, nullptr);
        }
        msg_ = NextMessageNumber();
        State().sockets[msg_] = this;
        hwnd_ = hwnd;
        state_ = Conn::Connecting;
        // Also makes the socket non-blocking.
        if (WSAAsyncSelect(sock_, hwnd_, msg_, FD_CONNECT | FD_READ | FD_CLOSE) != 0) {
            Fail(WSAGetLastError());
            return;
        }
        if (connect(sock_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
            const int err = WSAGetLastError();
            if (err != WSAEWOULDBLOCK) Fail(err);
        }
        // Success is reported by FD_CONNECT.
    }

    bool Close() override {
        if (!OwnedHere()) {
            assert(!"a connection is closed from a thread that did not create it");
            return false;
        }
        Drop();
        return true;
    }

    bool Active() const override { return state_ == Conn::Connected; }

    bool ConnectFailed() const override { return failed_; }

    void KeepAlive(int idleSeconds) override { keepAliveS_ = idleSeconds; }

    std::string FailureText() const override { return failure_; }

    int Receive(void* buf, int size) override {
        if (state_ != Conn::Connected) return 0;
        if (size <= 0) return -1;
        const int n = recv(sock_, static_cast<char*>(buf), size, 0);
        if (n > 0) {
            // After the peer's close Winsock posts no further FD_READ: keep the chain of
            // notifications going until the remaining bytes are taken.
            if (peerClosed_ && OnRead) Repost();
            return n;
        }
        if (n == 0) {
            Drop(); // the converter closed the connection
            failure_ = "closed by the peer";
            return 0;
        }
        const int err = WSAGetLastError();
        if (err == WSAEWOULDBLOCK) return -1;
        Fail(err);
        return 0;
    }

    bool Send(const std::string& bytes) override {
        if (state_ != Conn::Connected) return false;
        size_t done = 0;
        while (done < bytes.size()) {
            const int chunk = static_cast<int>(std::min<size_t>(bytes.size() - done, 65536));
            const int n = send(sock_, bytes.data() + done, chunk, 0);
            if (n > 0) {
                done += static_cast<size_t>(n);
                continue;
            }
            const int err = WSAGetLastError();
            if (n == SOCKET_ERROR && err == WSAEWOULDBLOCK) {
                fd_set w;
                FD_ZERO(&w);
                FD_SET(sock_, &w);
                timeval tv{1, 0};
                if (select(0, nullptr, &w, nullptr, &tv) <= 0) {
                    Fail(WSAETIMEDOUT);
                    return false;
                }
                continue;
            }
            Fail(err);
            return false;
        }
        return true;
    }

    // A socket message for this client (already matched by message number).
    void OnSocketMessage(WPARAM wParam, LPARAM lParam) {
        if (sock_ == INVALID_SOCKET || static_cast<SOCKET>(wParam) != sock_) return; // stale
        const int event = WSAGETSELECTEVENT(lParam);
        const int error = WSAGETSELECTERROR(lParam);
        switch (event) {
        case FD_CONNECT:
            if (state_ != Conn::Connecting) return;
            if (error != 0) {
                Fail(error);
                return;
            }
            state_ = Conn::Connected;
            return;
        case FD_READ:
            if (state_ != Conn::Connected) return;
            if (error != 0) {
                Fail(error);
                return;
            }
            if (OnRead) {
                auto handler = OnRead; // the handler may clear OnRead or close this client
                handler();
            }
            // Without a handler the bytes wait; they are announced again once one is bound.
            return;
        case FD_CLOSE:
            if (state_ == Conn::Connecting) {
                Fail(error != 0 ? error : WSAECONNREFUSED);
                return;
            }
            if (state_ != Conn::Connected) return;
            if (error != 0 && error != WSAECONNRESET && error != WSAECONNABORTED) {
                Fail(error);
                return;
            }
            if (Unread() > 0) {
                // Bytes sent before the close are still delivered; Receive drops the
                // connection when it reaches the end.
                peerClosed_ = true;
                if (OnRead) Repost();
                return;
            }
            if (error != 0)
                Fail(error);
            else
                Drop();
            return;
        default:
            return;
        }
    }

    // Unread bytes and a handler: one more read notification.
    bool Kick() {
        if (state_ != Conn::Connected || !OnRead || Unread() == 0) return false;
        Repost();
        return true;
    }

  private:
    enum class Conn { Closed, Connecting, Connected };

    // A message number that no other reading socket of this thread uses.
    static UINT NextMessageNumber() {
        constexpr UINT span = kMsgSocketLast - kMsgSocketFirst + 1;
        for (;;) {
            const UINT m = kMsgSocketFirst + g_socketCounter.fetch_add(1) % span;
            if (t_state == nullptr || t_state->sockets.count(m) == 0) return m;
        }
    }

    u_long Unread() const {
        u_long n = 0;
        if (sock_ == INVALID_SOCKET || ioctlsocket(sock_, FIONREAD, &n) != 0) return 0;
        return n;
    }

    void Repost() {
        if (hwnd_ != nullptr) PostMessageA(hwnd_, msg_, static_cast<WPARAM>(sock_), FD_READ);
    }

    void Drop() {
        if (sock_ != INVALID_SOCKET) {
            WSAAsyncSelect(sock_, hwnd_, 0, 0);
            closesocket(sock_);
        }
        sock_ = INVALID_SOCKET;
        if (msg_ != 0 && t_state != nullptr) t_state->sockets.erase(msg_);
        msg_ = 0;
        state_ = Conn::Closed;
        peerClosed_ = false;
    }

    void Fail(int code) {
        const bool connecting = state_ != Conn::Connected;
        Drop();
        if (connecting) failed_ = true;
        failure_ = ErrorText(static_cast<DWORD>(code));
    }

    SOCKET sock_ = INVALID_SOCKET;
    HWND hwnd_ = nullptr;
    UINT msg_ = 0;
    Conn state_ = Conn::Closed;
    bool failed_ = false;
    bool peerClosed_ = false;
    int keepAliveS_ = 0;
    std::string failure_;
};

} // namespace

std::unique_ptr<TcpClient> NewTcpClient() {
    return std::make_unique<WinTcpClient>();
}

// ---- serial port ----------------------------------------------------------------------

std::string SerialDevicePath(uint16_t comNumber) {
    if (comNumber == 0) return {};
    return "\\\\.\\COM" + std::to_string(comNumber);
}

std::string SerialDevicePath(const SerialSettings& s) {
    if (s.device.empty()) return SerialDevicePath(s.comNumber);
    if (s.device.rfind("\\\\", 0) == 0) return s.device;
    return "\\\\.\\" + s.device; // COM3, and COM10 and above, which need the prefix
}

namespace {

// Ports open in this process: a second open of the same port fails even where the operating
// system would share the device.
std::mutex g_openMutex;
std::set<std::string> g_openPaths;

class WinSerialPort final : public SerialPort {
  public:
    WinSerialPort() : id_(g_nextPortId.fetch_add(1)) {
        ThreadState& st = State();
        st.ports[id_] = this;
        ++st.users;
    }

    ~WinSerialPort() override {
        assert(OwnedHere());
        Release();
        if (t_state != nullptr) {
            t_state->ports.erase(id_);
            --t_state->users;
        }
        ReleaseWindowIfIdle();
    }

    bool Open(const SerialSettings& s) override {
        if (!OwnedHere()) return Refuse(SerialDevicePath(s), kForeignThread);
        if (handle_ != INVALID_HANDLE_VALUE) {
            if (SerialDevicePath(s) == path_ && Apply(s)) return true;
            // Another port, or the device went away under this one (unplugged: it no longer
            // takes settings): close it and open the device afresh, which may be back under
            // the same name.
            Release();
        }
        const std::string path = SerialDevicePath(s);
        HWND hwnd = Window();
        if (path.empty()) return Refuse("COM0", "there is no port 0");
        if (hwnd == nullptr) return Refuse(path, ErrorText(GetLastError()));
        {
            std::lock_guard<std::mutex> lock(g_openMutex);
            if (!g_openPaths.insert(path).second)
                return Refuse(path, "in use by this program"); // in use here
        }
        HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                               OPEN_EXISTING, 0, nullptr);
        if (h == INVALID_HANDLE_VALUE) {
            const DWORD err = GetLastError();
            Unlist(path);
            return Refuse(path, ErrorText(err));
        }
        path_ = path;
        failure_.clear();
        handle_ = h;
        settings_ = s;
        hwnd_ = hwnd;
        // The reception thread waits at most 50 ms per read, so it sees a stop request
        // quickly; a read returns as soon as any character is there.
        COMMTIMEOUTS t{};
        t.ReadIntervalTimeout = MAXDWORD;
        t.ReadTotalTimeoutMultiplier = MAXDWORD;
        t.ReadTotalTimeoutConstant = kReadSliceMs;
        t.WriteTotalTimeoutMultiplier = 0;
        t.WriteTotalTimeoutConstant = kWriteTimeoutMs;
        if (!SetupComm(h, kBufferSize, kBufferSize)) {
            // Optional: the driver's own queue sizes are fine too.
        }
        if (!SetCommTimeouts(h, &t) || !Apply(s)) {
            Release();
            return Refuse(path, "the device refused the line settings");
        }
        PurgeComm(h, PURGE_RXCLEAR | PURGE_TXCLEAR);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            buffer_.clear();
            posted_ = false;
        }
        stop_ = false;
        thread_ = CreateThread(nullptr, 0, &WinSerialPort::ReaderMain, this, 0, nullptr);
        if (thread_ == nullptr) {
            const DWORD err = GetLastError();
            Release();
            return Refuse(path, ErrorText(err));
        }
        return true;
    }

    bool Close() override {
        if (!OwnedHere()) {
            assert(!"a serial port is closed from a thread that did not create it");
            return false;
        }
        Release();
        return true;
    }

    // Stops the reception thread and lets the device go.
    void Release() {
        const bool wasOpen = handle_ != INVALID_HANDLE_VALUE;
        if (thread_ != nullptr) {
            stop_ = true;
            CancelSynchronousIo(thread_);
            if (WaitForSingleObject(thread_, 2000) != WAIT_OBJECT_0 &&
                handle_ != INVALID_HANDLE_VALUE) {
                // A read that ignores its time-out: closing the device ends it.
                CloseHandle(handle_);
                handle_ = INVALID_HANDLE_VALUE;
                WaitForSingleObject(thread_, 2000);
            }
            CloseHandle(thread_);
            thread_ = nullptr;
        }
        if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
        handle_ = INVALID_HANDLE_VALUE;
        if (wasOpen) Unlist(path_);
        std::lock_guard<std::mutex> lock(mutex_);
        buffer_.clear();
        posted_ = false;
    }

    bool IsOpen() const override { return handle_ != INVALID_HANDLE_VALUE; }

    std::string FailureText() const override { return failure_; }

    bool Apply(const SerialSettings& s) override {
        if (handle_ == INVALID_HANDLE_VALUE) return false;
        DCB d{};
        d.DCBlength = sizeof d;
        if (!GetCommState(handle_, &d)) {
            std::memset(&d, 0, sizeof d);
            d.DCBlength = sizeof d;
        }
        if (s.baud <= 0 || s.dataBits < 5 || s.dataBits > 8) return false;
        d.BaudRate = static_cast<DWORD>(s.baud);
        d.ByteSize = static_cast<BYTE>(s.dataBits);
        switch (s.parity) {
        case ParityNone:
            d.Parity = NOPARITY;
            break;
        case ParityOdd:
            d.Parity = ODDPARITY;
            break;
        case ParityEven:
            d.Parity = EVENPARITY;
            break;
        case ParityMark:
            d.Parity = MARKPARITY;
            break;
        case ParitySpace:
            d.Parity = SPACEPARITY;
            break;
        default:
            return false;
        }
        if (s.stopBits == 1) d.StopBits = ONESTOPBIT;
        // Five data bits take one and a half stop bits where others take two.
        else if (s.stopBits == 2)
            d.StopBits = s.dataBits == 5 ? ONE5STOPBITS : TWOSTOPBITS;
        else
            return false;
        d.fBinary = TRUE;
        d.fParity = s.parity != ParityNone;
        d.fOutxCtsFlow = FALSE;
        d.fOutxDsrFlow = FALSE;
        d.fDtrControl = s.dtr ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
        d.fDsrSensitivity = FALSE;
        d.fTXContinueOnXoff = TRUE;
        d.fOutX = FALSE;
        d.fInX = FALSE;
        d.fErrorChar = FALSE;
        d.fNull = FALSE;
        d.fRtsControl = s.rts ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
        d.fAbortOnError = FALSE;
        if (!SetCommState(handle_, &d)) {
            // A device that ignores part of the line settings refuses them: a pseudo-terminal
            // under Wine always works with 8 bits, no parity and no modem lines, and refuses
            // every request after the first that changes nothing it can take. It is usable
            // when the speed and the stop bits are as asked; its modem lines, if any, are
            // set on their own.
            DCB now{};
            now.DCBlength = sizeof now;
            if (!GetCommState(handle_, &now) || now.BaudRate != d.BaudRate ||
                (now.StopBits == ONESTOPBIT) != (d.StopBits == ONESTOPBIT))
                return false;
            EscapeCommFunction(handle_, s.dtr ? SETDTR : CLRDTR);
            EscapeCommFunction(handle_, s.rts ? SETRTS : CLRRTS);
        }
        settings_.baud = s.baud;
        settings_.dataBits = s.dataBits;
        settings_.parity = s.parity;
        settings_.stopBits = s.stopBits;
        settings_.dtr = s.dtr;
        settings_.rts = s.rts;
        return true;
    }

    size_t Read(void* buf, size_t size) override {
        if (handle_ == INVALID_HANDLE_VALUE) return 0;
        std::lock_guard<std::mutex> lock(mutex_);
        const size_t n = std::min(size, buffer_.size());
        std::copy_n(buffer_.begin(), n, static_cast<char*>(buf));
        buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(n));
        return n;
    }

    bool Write(const std::string& bytes) override {
        if (handle_ == INVALID_HANDLE_VALUE) return false;
        size_t done = 0;
        while (done < bytes.size()) {
            DWORD n = 0;
            const DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 4096));
            if (!WriteFile(handle_, bytes.data() + done, chunk, &n, nullptr) || n == 0)
                return false;
            done += n;
        }
        return true;
    }

    // The posted "characters available" message has arrived on the opening thread.
    void OnAvailable() {
        size_t count;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            posted_ = false; // characters arriving from now on post again
            count = buffer_.size();
        }
        if (count == 0 || handle_ == INVALID_HANDLE_VALUE || !OnTriggerAvail) return;
        auto handler = OnTriggerAvail; // the handler may close the port or clear itself
        try {
            handler(static_cast<uint16_t>(std::min<size_t>(count, 0xFFFF)));
        } catch (...) {
        }
    }

    // Characters that arrived while no handler was bound are announced once one is.
    bool Kick() {
        if (handle_ == INVALID_HANDLE_VALUE || !OnTriggerAvail) return false;
        std::lock_guard<std::mutex> lock(mutex_);
        if (buffer_.empty() || posted_) return false;
        posted_ = true;
        PostMessageA(hwnd_, kMsgSerial, id_, 0);
        return true;
    }

  private:
    static constexpr size_t kBufferSize = 4096;
    static constexpr DWORD kReadSliceMs = 50;
    static constexpr DWORD kWriteTimeoutMs = 5000;

    static DWORD WINAPI ReaderMain(LPVOID self) {
        static_cast<WinSerialPort*>(self)->Reader();
        return 0;
    }

    void Reader() {
        char tmp[512];
        while (!stop_) {
            size_t room;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                room = kBufferSize - buffer_.size();
            }
            if (room == 0) {
                Sleep(kReadSliceMs); // full: wait for the host thread to fetch
                continue;
            }
            DWORD n = 0;
            if (!ReadFile(handle_, tmp, static_cast<DWORD>(std::min(room, sizeof tmp)), &n,
                          nullptr)) {
                if (stop_) break;
                // The device went away or reports an error: wait a slice, never spin.
                DWORD errors = 0;
                ClearCommError(handle_, &errors, nullptr);
                Sleep(kReadSliceMs);
                continue;
            }
            if (n == 0) continue;
            std::lock_guard<std::mutex> lock(mutex_);
            buffer_.insert(buffer_.end(), tmp, tmp + n);
            if (!posted_) {
                posted_ = true;
                PostMessageA(hwnd_, kMsgSerial, id_, 0);
            }
        }
    }

    static void Unlist(const std::string& path) {
        std::lock_guard<std::mutex> lock(g_openMutex);
        g_openPaths.erase(path);
    }

    bool Refuse(const std::string& path, const std::string& why) {
        failure_ = path + ": " + why;
        return false;
    }

    const uint32_t id_;
    HANDLE handle_ = INVALID_HANDLE_VALUE;
    HANDLE thread_ = nullptr;
    HWND hwnd_ = nullptr;
    SerialSettings settings_;
    std::string path_;
    std::string failure_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::deque<char> buffer_; // bounded by kBufferSize
    bool posted_ = false;     // a "characters available" message is on its way
};

LRESULT CALLBACK NotifyWndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    ThreadState* st = t_state;
    if (st == nullptr || hwnd != st->hwnd) return DefWindowProcA(hwnd, msg, wParam, lParam);
    const bool serial = msg == kMsgSerial;
    if (!serial && (msg < kMsgSocketFirst || msg > kMsgSocketLast))
        return DefWindowProcA(hwnd, msg, wParam, lParam);
    ++st->dispatching;
    try {
        // Looked up again for every message: a handler may have closed a transport.
        if (serial) {
            auto it = st->ports.find(static_cast<uint32_t>(wParam));
            if (it != st->ports.end()) it->second->OnAvailable();
        } else {
            auto it = st->sockets.find(msg);
            if (it != st->sockets.end()) it->second->OnSocketMessage(wParam, lParam);
        }
    } catch (...) {
        // Nothing escapes into the host's message loop.
    }
    --st->dispatching;
    ReleaseWindowIfIdle(); // the last transport may have gone in a handler
    return 0;
}

bool KickPending() {
    ThreadState* st = t_state;
    if (st == nullptr) return false;
    bool posted = false;
    for (auto& [m, c] : st->sockets)
        posted = c->Kick() || posted;
    for (auto& [id, p] : st->ports)
        posted = p->Kick() || posted;
    return posted;
}

} // namespace

std::unique_ptr<SerialPort> NewSerialPort() {
    return std::make_unique<WinSerialPort>();
}

// ---- blocking TCP client --------------------------------------------------------------

namespace {

class WinBlockingTcp final : public BlockingTcp {
  public:
    WinBlockingTcp() { EnsureWinsock(); }
    ~WinBlockingTcp() override { Close(); }

    bool Connect(const std::string& address, int port, uint32_t timeoutMs) override {
        Close();
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(static_cast<u_short>(port));
        if (port <= 0 || port > 65535 || inet_pton(AF_INET, address.c_str(), &sa.sin_addr) != 1)
            return false;
        sock_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        if (sock_ == INVALID_SOCKET) return false;
        // Non-blocking while connecting, so that an address that never answers cannot hold
        // the caller for the system's own retry time; blocking again afterwards.
        u_long nonBlocking = 1;
        if (ioctlsocket(sock_, FIONBIO, &nonBlocking) != 0) {
            Close();
            return false;
        }
        const bool connected =
            connect(sock_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 ||
            (WSAGetLastError() == WSAEWOULDBLOCK && Ready(false, timeoutMs) && !error_);
        nonBlocking = 0;
        if (!connected || ioctlsocket(sock_, FIONBIO, &nonBlocking) != 0) {
            Close();
            return false;
        }
        return true;
    }

    bool Send(const std::string& bytes, uint32_t timeoutMs) override {
        if (sock_ == INVALID_SOCKET) return false;
        size_t done = 0;
        while (done < bytes.size()) {
            if (!Ready(false, timeoutMs)) return false;
            const int chunk = static_cast<int>(std::min<size_t>(bytes.size() - done, 65536));
            const int n = send(sock_, bytes.data() + done, chunk, 0);
            if (n <= 0) return false;
            done += static_cast<size_t>(n);
        }
        return true;
    }

    int Receive(char* buf, int size, uint32_t timeoutMs) override {
        if (sock_ == INVALID_SOCKET) return -1;
        if (!Ready(true, timeoutMs)) return error_ ? -1 : 0;
        const int n = recv(sock_, buf, size, 0);
        if (n > 0) return n;
        if (n < 0) return -1;
        // The end of the stream. Wine reports a reset connection that way too; an empty send
        // tells them apart (it fails only on a reset connection).
        return send(sock_, buf, 0, 0) == SOCKET_ERROR ? -1 : -2;
    }

    void Close() override {
        if (sock_ != INVALID_SOCKET) closesocket(sock_);
        sock_ = INVALID_SOCKET;
    }

  private:
    // Waits until the socket can be read (or written); false on time-out or error.
    bool Ready(bool read, uint32_t timeoutMs) {
        error_ = false;
        fd_set set, err;
        FD_ZERO(&set);
        FD_ZERO(&err);
        FD_SET(sock_, &set);
        FD_SET(sock_, &err);
        timeval tv{static_cast<long>(timeoutMs / 1000),
                   static_cast<long>((timeoutMs % 1000) * 1000)};
        const int r = select(0, read ? &set : nullptr, read ? nullptr : &set, &err, &tv);
        if (r < 0) error_ = true;
        return r > 0 && FD_ISSET(sock_, &set);
    }

    SOCKET sock_ = INVALID_SOCKET;
    bool error_ = false;
};

// Unloading the library: the calling thread's window goes with it.
struct ModuleCleanup {
    ~ModuleCleanup() {
        if (t_state != nullptr && t_state->hwnd != nullptr) {
            DestroyWindow(t_state->hwnd);
            t_state->hwnd = nullptr;
        }
        UnregisterClassA(kWindowClass, ModuleHandle());
    }
} g_moduleCleanup;

} // namespace

std::unique_ptr<BlockingTcp> NewBlockingTcp() {
    return std::make_unique<WinBlockingTcp>();
}

} // namespace plat
