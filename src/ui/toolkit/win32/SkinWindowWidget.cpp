#include "ui/toolkit/win32/SkinWindowWidget.h"

#include <wincodec.h>
#include <windowsx.h>

#include <algorithm>

#include "ui/toolkit/Controls.h"
#include "ui/toolkit/SkinWindow.h"
#include "ui/toolkit/win32/UiThread.h"

namespace ui {

namespace {

// Releases a COM interface at the end of a scope.
template <typename T>
class ComRef {
public:
    ComRef() = default;
    ~ComRef() {
        if (m_p != nullptr) m_p->Release();
    }
    ComRef(const ComRef&) = delete;
    ComRef& operator=(const ComRef&) = delete;
    T** out() { return &m_p; }
    T* operator->() const { return m_p; }
    T* get() const { return m_p; }

private:
    T* m_p = nullptr;
};

// a * b / 255, rounded as the Linux window's painter rounds it.
inline uint32_t mul255(uint32_t a, uint32_t b) {
    uint32_t t = a * b + 0x80u;
    return (t + (t >> 8)) >> 8;
}

// Premultiplied source over destination.
inline uint32_t over(uint32_t src, uint32_t dst) {
    const uint32_t inverse = 255u - (src >> 24);
    if (inverse == 0) return src;
    uint32_t out = 0;
    for (int shift = 0; shift < 32; shift += 8) {
        const uint32_t s = (src >> shift) & 0xffu;
        const uint32_t d = (dst >> shift) & 0xffu;
        out |= std::min(255u, s + mul255(d, inverse)) << shift;
    }
    return out;
}

class Win32Canvas : public SkinCanvas {
public:
    Win32Canvas(SkinWindowWidget& window, std::vector<uint32_t>& surface, SkinSize size)
        : m_window(window), m_surface(surface), m_size(size), m_clip{0, 0, size.width, size.height} {}

    void setClip(const SkinRect& clip) override { m_clip = clip.intersected({0, 0, m_size.width, m_size.height}); }

    void drawPicture(const std::string& name, const SkinRect& target) override {
        const Picture& p = m_window.picture(name);
        if (p.isNull() || target.isEmpty()) return;
        const SkinRect area = target.intersected(m_clip);
        for (int y = area.top; y < area.bottom(); ++y) {
            // Nearest pixel: the skin's pictures are drawn at their own size.
            const int sy = static_cast<int>(static_cast<long long>(y - target.top) * p.height / target.height);
            for (int x = area.left; x < area.right(); ++x) {
                const int sx = static_cast<int>(static_cast<long long>(x - target.left) * p.width / target.width);
                blend(x, y, p.pixels[static_cast<std::size_t>(sy * p.width + sx)]);
            }
        }
    }

    void drawPicturePart(const std::string& name, SkinPoint at, const SkinRect& source) override {
        const Picture& p = m_window.picture(name);
        if (p.isNull()) return;
        const SkinRect src = source.intersected({0, 0, p.width, p.height});
        if (src.isEmpty()) return;
        const SkinRect area = SkinRect{at.x, at.y, src.width, src.height}.intersected(m_clip);
        for (int y = area.top; y < area.bottom(); ++y) {
            const int sy = src.top + (y - at.y);
            for (int x = area.left; x < area.right(); ++x) {
                blend(x, y, p.pixels[static_cast<std::size_t>(sy * p.width + src.left + (x - at.x))]);
            }
        }
    }

private:
    void blend(int x, int y, uint32_t src) {
        uint32_t& dst = m_surface[static_cast<std::size_t>(y * m_size.width + x)];
        dst = over(src, dst);
    }

    SkinWindowWidget& m_window;
    std::vector<uint32_t>& m_surface;
    SkinSize m_size;
    SkinRect m_clip;
};

}  // namespace

Picture decodePicture(const std::string& bytes) {
    Picture picture;
    if (bytes.empty() || bytes.size() > SkinArchive::kMaxFileBytes) return picture;
    ComRef<IWICImagingFactory> factory;
    if (FAILED(::CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_IWICImagingFactory,
                                  reinterpret_cast<void**>(factory.out())))) {
        return picture;
    }
    ComRef<IWICStream> stream;
    ComRef<IWICBitmapDecoder> decoder;
    ComRef<IWICBitmapFrameDecode> frame;
    ComRef<IWICBitmapSource> converted;
    // The stream only reads the bytes, which outlive it.
    auto* data = reinterpret_cast<BYTE*>(const_cast<char*>(bytes.data()));
    if (FAILED(factory->CreateStream(stream.out())) ||
        FAILED(stream->InitializeFromMemory(data, static_cast<DWORD>(bytes.size()))) ||
        FAILED(factory->CreateDecoderFromStream(stream.get(), nullptr, WICDecodeMetadataCacheOnDemand, decoder.out())) ||
        FAILED(decoder->GetFrame(0, frame.out())) ||
        FAILED(::WICConvertBitmapSource(GUID_WICPixelFormat32bppPBGRA, frame.get(), converted.out()))) {
        return picture;
    }
    UINT width = 0, height = 0;
    if (FAILED(converted->GetSize(&width, &height)) || width == 0 || height == 0 || width > 16384 || height > 16384) {
        return picture;
    }
    std::vector<uint32_t> pixels(static_cast<std::size_t>(width) * height);
    if (FAILED(converted->CopyPixels(nullptr, width * 4, static_cast<UINT>(pixels.size() * 4),
                                     reinterpret_cast<BYTE*>(pixels.data())))) {
        return picture;
    }
    picture.width = static_cast<int>(width);
    picture.height = static_cast<int>(height);
    picture.pixels = std::move(pixels);
    return picture;
}

SkinWindowWidget::SkinWindowWidget(SkinWindow* owner) : m_owner(owner), m_skin(this) {}

SkinWindowWidget::~SkinWindowWidget() {
    if (m_window != nullptr) {
        // No message reaches the skin any more once its window goes.
        ::SetWindowLongPtrW(m_window, GWLP_USERDATA, 0);
        dropPostedCalls(m_window);
        ::DestroyWindow(m_window);
    }
}

bool SkinWindowWidget::create(HWND parent, const std::wstring& className, const wchar_t* title, DWORD style,
                              DWORD exStyle) {
    const HINSTANCE instance = ::GetModuleHandleW(nullptr);
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = &SkinWindowWidget::windowProc;
    wc.hInstance = instance;
    wc.hCursor = ::LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    wc.lpszClassName = className.c_str();
    if (::RegisterClassExW(&wc) == 0 && ::GetLastError() != ERROR_CLASS_ALREADY_EXISTS) return false;
    // The window has no caption whatever the style asks: the skin draws it.
    const DWORD windowStyle = style & ~(WS_CAPTION | WS_THICKFRAME | WS_VISIBLE);
    m_window = ::CreateWindowExW(exStyle, className.c_str(), title, windowStyle, CW_USEDEFAULT, CW_USEDEFAULT,
                                 m_skin.size().width, m_skin.size().height, parent, nullptr, instance, this);
    if (m_window == nullptr) return false;
    // A pop-up's frame is its client area, but a style may still add edges.
    RECT client{};
    ::GetClientRect(m_window, &client);
    if (client.right != m_skin.size().width || client.bottom != m_skin.size().height) {
        RECT outer{0, 0, m_skin.size().width, m_skin.size().height};
        ::AdjustWindowRectEx(&outer, windowStyle, FALSE, exStyle);
        ::SetWindowPos(m_window, nullptr, 0, 0, outer.right - outer.left, outer.bottom - outer.top,
                       SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    }
    return true;
}

const Picture& SkinWindowWidget::picture(const std::string& name) {
    std::string key = name;
    std::replace(key.begin(), key.end(), '\\', '/');
    auto it = m_pictures.find(key);
    if (it != m_pictures.end()) return it->second;
    std::string bytes;
    Picture decoded;
    if (!name.empty() && m_archive.read(name, bytes)) decoded = decodePicture(bytes);
    return m_pictures.emplace(key, std::move(decoded)).first->second;
}

const std::vector<uint32_t>& SkinWindowWidget::render() {
    const SkinSize size = m_skin.size();
    m_surface.assign(static_cast<std::size_t>(size.width) * static_cast<std::size_t>(size.height), 0u);
    Win32Canvas canvas(*this, m_surface, size);
    m_skin.paint(canvas);
    return m_surface;
}

bool SkinWindowWidget::skinWindowEnabled() const { return m_window == nullptr || ::IsWindowEnabled(m_window); }

void SkinWindowWidget::skinInvalidate(const SkinRect& area) {
    if (m_window == nullptr) return;
    const RECT r{area.left, area.top, area.right(), area.bottom()};
    ::InvalidateRect(m_window, &r, FALSE);
}

void SkinWindowWidget::paint() {
    PAINTSTRUCT ps;
    const HDC dc = ::BeginPaint(m_window, &ps);
    const std::vector<uint32_t>& pixels = render();
    const SkinSize size = m_skin.size();
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = size.width;
    info.bmiHeader.biHeight = -size.height;  // top-down rows
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    ::SetDIBitsToDevice(dc, 0, 0, static_cast<DWORD>(size.width), static_cast<DWORD>(size.height), 0, 0, 0,
                        static_cast<UINT>(size.height), pixels.data(), &info, DIB_RGB_COLORS);
    ::EndPaint(m_window, &ps);
}

SkinPoint SkinWindowWidget::clientPoint(LPARAM lParam) const { return {GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)}; }

LRESULT CALLBACK SkinWindowWidget::windowProc(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_NCCREATE) {
        auto* create = reinterpret_cast<CREATESTRUCTW*>(lParam);
        ::SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
        static_cast<SkinWindowWidget*>(create->lpCreateParams)->m_window = window;
    }
    auto* self = reinterpret_cast<SkinWindowWidget*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
    if (self == nullptr) {
        if (msg == kWmRunCall) {
            runPostedCall(lParam, false);
            return 0;
        }
        return ::DefWindowProcW(window, msg, wParam, lParam);
    }
    return self->handle(msg, wParam, lParam);
}

LRESULT SkinWindowWidget::handle(UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
        case kWmRunCall:
            runPostedCall(lParam, true);
            return 0;
        case WM_ERASEBKGND:
            return 1;
        case WM_PAINT:
            paint();
            return 0;
        case WM_NCHITTEST: {
            // The caption rectangle drags the window, except over a button.
            POINT p{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
            ::ScreenToClient(m_window, &p);
            const SkinPoint at{p.x, p.y};
            if (m_skin.inCaption(at) && m_skin.buttonAt(at) == nullptr) return HTCAPTION;
            return HTCLIENT;
        }
        case WM_LBUTTONDOWN:
            ::SetCapture(m_window);
            if (m_skin.pointerPressed(clientPoint(lParam))) {
                // Only when the hit test said otherwise: drag as the caption does.
                ::ReleaseCapture();
                ::SendMessageW(m_window, WM_NCLBUTTONDOWN, HTCAPTION, 0);
            }
            return 0;
        case WM_MOUSEMOVE:
            if (!m_trackingLeave) {
                TRACKMOUSEEVENT track{sizeof track, TME_LEAVE, m_window, 0};
                m_trackingLeave = ::TrackMouseEvent(&track) != FALSE;
            }
            m_skin.pointerMoved(clientPoint(lParam));
            return 0;
        case WM_LBUTTONUP: {
            if (::GetCapture() == m_window) ::ReleaseCapture();
            if (Button* clicked = m_skin.pointerReleased(clientPoint(lParam))) {
                NotifyMsg note;
                note.type = "click";
                note.sender = clicked;
                note.senderName = clicked->name();
                m_owner->DispatchNotify(note);
            }
            return 0;
        }
        case WM_MOUSELEAVE:
            m_trackingLeave = false;
            m_skin.pointerLeft();
            return 0;
        case WM_ENABLE:
            // Disabled, the window gets no release for a press under way.
            if (wParam == FALSE) m_skin.cancelPointer();
            ::InvalidateRect(m_window, nullptr, FALSE);
            return 0;
        case WM_KEYDOWN:
        case WM_CHAR:
            // The window has no default or cancel action: Escape must not
            // close it and Enter does nothing.
            if (wParam == VK_ESCAPE || wParam == VK_RETURN) return 0;
            break;
        case WM_CLOSE:
            // What a close request does is the window class's decision; the
            // system's default would destroy the window.
            m_owner->HandleMessage(static_cast<uint32_t>(msg), wParam, lParam);
            return 0;
        case WM_DESTROY:
            dropPostedCalls(m_window);
            return 0;
        default:
            if (msg >= WM_USER && msg < WM_APP) {
                // The window class's own messages, sent from outside too.
                return static_cast<LRESULT>(m_owner->HandleMessage(static_cast<uint32_t>(msg), wParam, lParam));
            }
            break;
    }
    return ::DefWindowProcW(m_window, msg, wParam, lParam);
}

}  // namespace ui
