#include "SenderDialog_win.h"

#include <windows.h>
#include <shellapi.h>

#include <mutex>
#include <thread>

#include "Symbolizer.h"
#include "platform/text.h"

namespace crashsender {
namespace {

constexpr int kMargin = 12;
constexpr int kWidth = 560;
constexpr int kLine = 20;
constexpr UINT kSendDone = WM_APP + 1;

enum ControlId : int { kIdSend = 100, kIdDontSend, kIdClose, kIdPrivacy, kIdFirstBox = 200 };

struct DialogState {
    const ReportFolder* report = nullptr;
    std::wstring privacyUrl;
    UploadFunction upload;
    HWND window = nullptr;
    HWND status = nullptr;
    HWND send = nullptr;
    HWND dontSend = nullptr;
    HWND close = nullptr;
    std::vector<HWND> boxes;
    std::thread sender;
    std::stop_source stop;
    std::mutex resultLock;
    UploadResult pending;
    UploadResult result;
    bool tried = false;
    bool sending = false;
};

std::wstring w(const std::string& s) { return platform::utf8ToWide(s); }

std::wstring sizeText(long long bytes) {
    if (bytes < 1024) return std::to_wstring(bytes) + L" bytes";
    if (bytes < 1024 * 1024) return std::to_wstring((bytes + 1023) / 1024) + L" KB";
    return std::to_wstring((bytes + 1024 * 1024 - 1) / (1024 * 1024)) + L" MB";
}

std::wstring hostOf(const std::string& url) {
    const std::size_t start = url.find("://");
    if (start == std::string::npos) return w(url);
    const std::size_t end = url.find('/', start + 3);
    return w(url.substr(start + 3, end == std::string::npos ? std::string::npos : end - start - 3));
}

HWND control(DialogState& s, const wchar_t* cls, const std::wstring& text, DWORD style, int x, int y, int width,
             int height, int id) {
    HWND h = ::CreateWindowExW(0, cls, text.c_str(), WS_CHILD | WS_VISIBLE | style, x, y, width, height, s.window,
                               reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), ::GetModuleHandleW(nullptr),
                               nullptr);
    ::SendMessageW(h, WM_SETFONT, reinterpret_cast<WPARAM>(::GetStockObject(DEFAULT_GUI_FONT)), TRUE);
    return h;
}

void build(DialogState& s) {
    const ReportFolder& report = *s.report;
    const CrashDescription& d = report.description;
    const std::wstring app = d.app.empty() ? L"The program" : w(d.app);
    const int inner = kWidth - 2 * kMargin;
    int y = kMargin;
    control(s, L"STATIC", app + L" closed unexpectedly.", 0, kMargin, y, inner, kLine, -1);
    y += kLine + 4;
    control(s, L"STATIC",
            w(plainWhatHappened(d)) +
                L" A report about it has been prepared. Sending it helps us find and fix the problem; it goes to " +
                hostOf(d.url) + L" and nothing else is sent.",
            0, kMargin, y, inner, 3 * kLine, -1);
    y += 3 * kLine + 4;
    control(s, L"STATIC",
            L"The report always holds where and why the program stopped, its version and its list of modules.", 0,
            kMargin, y, inner, 2 * kLine, -1);
    y += 2 * kLine;
    for (std::size_t i = 0; i < report.attachments.size(); ++i) {
        const Attachment& a = report.attachments[i];
        const std::wstring label =
            a.present ? w(a.file.description) + L": " + w(a.file.name) + (a.cut ? L" (its last " : L" (") +
                            sizeText(a.bytes) + L")"
                      : w(a.file.description) + L": " + w(a.file.name) + L" (could not be copied, not sent)";
        HWND box = control(s, L"BUTTON", label, BS_AUTOCHECKBOX | WS_TABSTOP, kMargin, y, inner, kLine,
                           kIdFirstBox + static_cast<int>(i));
        ::SendMessageW(box, BM_SETCHECK, a.present ? BST_CHECKED : BST_UNCHECKED, 0);
        ::EnableWindow(box, a.present && a.optional);
        s.boxes.push_back(box);
        y += kLine;
    }
    y += 4;
    control(s, L"BUTTON", L"Privacy policy", BS_PUSHBUTTON | WS_TABSTOP, kMargin, y, 140, 24, kIdPrivacy);
    y += 24 + 8;
    s.status = control(s, L"STATIC", L"", 0, kMargin, y, inner, 2 * kLine, -1);
    y += 2 * kLine + 4;
    s.send = control(s, L"BUTTON", L"Send", BS_DEFPUSHBUTTON | WS_TABSTOP, kWidth - kMargin - 220, y, 100, 26,
                     kIdSend);
    s.dontSend = control(s, L"BUTTON", L"Don't send", BS_PUSHBUTTON | WS_TABSTOP, kWidth - kMargin - 110, y, 110,
                         26, kIdDontSend);
    s.close = control(s, L"BUTTON", L"Close", BS_PUSHBUTTON | WS_TABSTOP, kWidth - kMargin - 110, y, 110, 26,
                      kIdClose);
    ::ShowWindow(s.close, SW_HIDE);
    y += 26 + kMargin;
    RECT frame{0, 0, kWidth, y};
    ::AdjustWindowRectEx(&frame, WS_CAPTION | WS_SYSMENU, FALSE, 0);
    ::SetWindowPos(s.window, nullptr, 0, 0, frame.right - frame.left, frame.bottom - frame.top,
                   SWP_NOMOVE | SWP_NOZORDER);
    ::SetFocus(s.send);
}

void startSend(DialogState& s) {
    if (s.sending) return;
    s.sending = true;
    s.tried = true;
    ::EnableWindow(s.send, FALSE);
    for (HWND box : s.boxes) ::EnableWindow(box, FALSE);
    ::SetWindowTextW(s.status, L"Sending the report...");
    if (s.sender.joinable()) s.sender.join();
    std::vector<bool> include;
    for (HWND box : s.boxes) include.push_back(::SendMessageW(box, BM_GETCHECK, 0, 0) == BST_CHECKED);
    s.sender = std::thread([&s, include] {
        UploadResult r = s.upload(include, s.stop.get_token());
        {
            std::lock_guard<std::mutex> lock(s.resultLock);
            s.pending = std::move(r);
        }
        ::PostMessageW(s.window, kSendDone, 0, 0);
    });
}

void finishSend(DialogState& s) {
    {
        std::lock_guard<std::mutex> lock(s.resultLock);
        s.result = s.pending;
    }
    s.sending = false;
    if (s.result.ok) {
        ::SetWindowTextW(s.status, (L"Thank you. " + w(s.result.message)).c_str());
        ::ShowWindow(s.send, SW_HIDE);
        ::ShowWindow(s.dontSend, SW_HIDE);
        ::ShowWindow(s.close, SW_SHOW);
        ::SetFocus(s.close);
    } else {
        ::SetWindowTextW(s.status, (w(s.result.message) + L" You can try again.").c_str());
        ::SetWindowTextW(s.send, L"Try again");
        ::EnableWindow(s.send, TRUE);
        for (std::size_t i = 0; i < s.boxes.size(); ++i)
            ::EnableWindow(s.boxes[i], s.report->attachments[i].present && s.report->attachments[i].optional);
    }
}

LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* s = reinterpret_cast<DialogState*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
    switch (message) {
        case WM_NCCREATE: {
            auto* create = reinterpret_cast<CREATESTRUCTW*>(lParam);
            ::SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
            break;
        }
        case WM_COMMAND:
            if (s == nullptr) break;
            switch (LOWORD(wParam)) {
                case kIdSend: startSend(*s); return 0;
                case kIdPrivacy:
                    ::ShellExecuteW(window, L"open", s->privacyUrl.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
                    return 0;
                case kIdDontSend:
                case kIdClose:
                case IDCANCEL: ::DestroyWindow(window); return 0;
                default: break;
            }
            break;
        case kSendDone:
            if (s != nullptr) finishSend(*s);
            return 0;
        case WM_CLOSE: ::DestroyWindow(window); return 0;
        case WM_DESTROY:
            // Closing while sending stops the transfer; the thread is joined
            // once the loop has ended.
            if (s != nullptr) s->stop.request_stop();
            ::PostQuitMessage(0);
            return 0;
        default: break;
    }
    return ::DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace

int runSenderDialog(const ReportFolder& report, const std::string& privacyUrl, UploadFunction upload) {
    DialogState s;
    s.report = &report;
    s.privacyUrl = w(privacyUrl);
    s.upload = std::move(upload);
    WNDCLASSEXW cls{};
    cls.cbSize = sizeof cls;
    cls.lpfnWndProc = windowProc;
    cls.hInstance = ::GetModuleHandleW(nullptr);
    cls.hCursor = ::LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));  // IDC_ARROW
    cls.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    cls.lpszClassName = L"CrashSenderWindow";
    ::RegisterClassExW(&cls);
    const std::wstring app = report.description.app.empty() ? L"The program" : w(report.description.app);
    s.window = ::CreateWindowExW(WS_EX_DLGMODALFRAME, cls.lpszClassName, (app + L" has stopped").c_str(),
                                 WS_CAPTION | WS_SYSMENU, CW_USEDEFAULT, CW_USEDEFAULT, kWidth, 300, nullptr,
                                 nullptr, cls.hInstance, &s);
    if (s.window == nullptr) return 3;
    build(s);
    ::ShowWindow(s.window, SW_SHOWNORMAL);
    MSG msg;
    while (::GetMessageW(&msg, nullptr, 0, 0) > 0) {
        if (::IsDialogMessageW(s.window, &msg)) continue;
        ::TranslateMessage(&msg);
        ::DispatchMessageW(&msg);
    }
    s.stop.request_stop();
    if (s.sender.joinable()) s.sender.join();
    return s.tried && !s.result.ok ? 1 : 0;
}

}  // namespace crashsender
