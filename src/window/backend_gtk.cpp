// The GTK 3 backend: one toolkit window per top-level window, showing its
// back buffer; mouse, keys and close requests go back into the framework.
#include <errno.h>
#include <gtk/gtk.h>
#include <poll.h>

#include <cstdlib>
#include <atomic>
#include <thread>

#include "support/log.h"
#include "window/toolkit.h"

namespace plat {

// gdi_gtk.cpp
HBITMAP GtkLoadBitmapFile(const WString& path);
CSize GtkTextExtent(const CFont& font, const WString& text, bool noPrefix);
int GtkDrawText(HBITMAP target, const CRect& clip, const CRect& box, const CFont& font, const WString& text,
                uint32_t format, COLORREF color);

namespace {

GdkPixbuf* PixbufFromBitmap(HBITMAP b) {
  CSize s = GetBitmapSize(b);
  if (s.cx <= 0 || s.cy <= 0) return nullptr;
  GdkPixbuf* pb = gdk_pixbuf_new(GDK_COLORSPACE_RGB, FALSE, 8, s.cx, s.cy);
  guchar* px = gdk_pixbuf_get_pixels(pb);
  int stride = gdk_pixbuf_get_rowstride(pb);
  for (int y = 0; y < s.cy; y++)
    for (int x = 0; x < s.cx; x++) {
      COLORREF c = GetPixel(b, x, y);
      guchar* p = px + y * stride + x * 3;
      p[0] = GetRValue(c);
      p[1] = GetGValue(c);
      p[2] = GetBValue(c);
    }
  return pb;
}

class GtkNative : public NativeWindow {
 public:
  explicit GtkNative(CWnd* wnd) : m_wnd(wnd) {
    m_win = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    g_object_ref_sink(m_win);
    gtk_window_set_decorated(GTK_WINDOW(m_win), (wnd->GetStyle() & WS_CAPTION) != 0);
    gtk_window_set_resizable(GTK_WINDOW(m_win), FALSE);
    gtk_window_set_gravity(GTK_WINDOW(m_win), GDK_GRAVITY_STATIC);
    m_area = gtk_drawing_area_new();
    gtk_widget_add_events(m_area, GDK_BUTTON_PRESS_MASK | GDK_BUTTON_RELEASE_MASK | GDK_POINTER_MOTION_MASK |
                                      GDK_LEAVE_NOTIFY_MASK);
    gtk_container_add(GTK_CONTAINER(m_win), m_area);
    g_signal_connect(m_area, "draw", G_CALLBACK(OnDraw), this);
    g_signal_connect(m_area, "button-press-event", G_CALLBACK(OnButton), this);
    g_signal_connect(m_area, "button-release-event", G_CALLBACK(OnButton), this);
    g_signal_connect(m_area, "motion-notify-event", G_CALLBACK(OnMotion), this);
    g_signal_connect(m_win, "key-press-event", G_CALLBACK(OnKey), this);
    g_signal_connect(m_win, "delete-event", G_CALLBACK(OnDelete), this);
    g_signal_connect(m_win, "configure-event", G_CALLBACK(OnConfigure), this);
    gtk_widget_show(m_area);
  }
  ~GtkNative() override {
    if (m_lastPress) gdk_event_free(m_lastPress);
    gtk_widget_destroy(m_win);
    g_object_unref(m_win);
  }

  void SetTitle(const WString& title) override {
    gtk_window_set_title(GTK_WINDOW(m_win), Utf8FromWide(title).c_str());
  }
  void SetGeometry(const CRect& r) override {
    m_rect = r;
    int w = std::max(1, r.Width()), h = std::max(1, r.Height());
    gtk_widget_set_size_request(m_area, w, h);
    gtk_window_resize(GTK_WINDOW(m_win), w, h);
    gtk_window_move(GTK_WINDOW(m_win), r.left, r.top);
  }
  void SetVisible(bool visible) override {
    if (visible) {
      gtk_widget_show(m_win);
      gtk_window_move(GTK_WINDOW(m_win), m_rect.left, m_rect.top);
      ApplyShape();
    } else {
      gtk_widget_hide(m_win);
    }
  }
  void SetExStyle(uint32_t ex) override {
    m_keepAbove = (ex & WS_EX_TOPMOST) != 0;
    bool skip = (ex & WS_EX_TOOLWINDOW) && !(ex & WS_EX_APPWINDOW);
    gtk_window_set_keep_above(GTK_WINDOW(m_win), m_keepAbove);
    gtk_window_set_skip_taskbar_hint(GTK_WINDOW(m_win), skip);
    gtk_window_set_skip_pager_hint(GTK_WINDOW(m_win), skip);
  }
  void SetShape(const std::vector<CRect>* rects) override {
    m_hasShape = rects != nullptr;
    m_shape = rects ? *rects : std::vector<CRect>();
    ApplyShape();
  }
  void Present() override { gtk_window_present(GTK_WINDOW(m_win)); }
  void Flush(const CRect& d) override { gtk_widget_queue_draw_area(m_area, d.left, d.top, d.Width(), d.Height()); }
  void SetCursorHand(bool hand) override {
    if (hand == m_hand) return;
    m_hand = hand;
    GdkWindow* gw = gtk_widget_get_window(m_area);
    if (!gw) return;
    GdkCursor* c = hand ? gdk_cursor_new_for_display(gdk_window_get_display(gw), GDK_HAND2) : nullptr;
    gdk_window_set_cursor(gw, c);
    if (c) g_object_unref(c);
  }
  void BeginMoveDrag() override {
    if (!m_lastPress) return;
    GdkEventButton* b = (GdkEventButton*)m_lastPress;
    gtk_window_begin_move_drag(GTK_WINDOW(m_win), (gint)b->button, (gint)b->x_root, (gint)b->y_root, b->time);
  }
  void SetIcon(HBITMAP icon) override {
    GdkPixbuf* pb = PixbufFromBitmap(icon);
    if (!pb) return;
    gtk_window_set_icon(GTK_WINDOW(m_win), pb);
    g_object_unref(pb);
  }
  void SetOwner(NativeWindow* owner) override {
    if (auto* o = dynamic_cast<GtkNative*>(owner)) gtk_window_set_transient_for(GTK_WINDOW(m_win), GTK_WINDOW(o->m_win));
  }
  CWnd::NativeState Query() override {
    CWnd::NativeState s;
    s.exists = true;
    GdkWindow* gw = gtk_widget_get_window(m_area);
    s.mapped = gtk_widget_get_mapped(m_win) && gw && gdk_window_is_viewable(gw);
    if (gw) {
      int x = 0, y = 0;
      gdk_window_get_origin(gw, &x, &y);
      s.rect = CRect(x, y, x + gdk_window_get_width(gw), y + gdk_window_get_height(gw));
    }
    s.keepAbove = m_keepAbove;
    s.skipTaskbar = gtk_window_get_skip_taskbar_hint(GTK_WINDOW(m_win));
    s.shapeEmpty = m_hasShape && m_shape.empty();
    const char* t = gtk_window_get_title(GTK_WINDOW(m_win));
    s.title = WideFromUtf8(t ? t : "");
    return s;
  }

 private:
  void ApplyShape() {
    if (!gtk_widget_get_realized(m_win)) gtk_widget_realize(m_win);
    if (!m_hasShape) {
      gtk_widget_shape_combine_region(m_win, nullptr);
      gtk_widget_input_shape_combine_region(m_win, nullptr);
      return;
    }
    cairo_region_t* rgn = cairo_region_create();
    for (const CRect& r : m_shape) {
      cairo_rectangle_int_t ri{r.left, r.top, r.Width(), r.Height()};
      cairo_region_union_rectangle(rgn, &ri);
    }
    gtk_widget_shape_combine_region(m_win, rgn);
    gtk_widget_input_shape_combine_region(m_win, rgn);
    cairo_region_destroy(rgn);
  }

  static gboolean OnDraw(GtkWidget*, cairo_t* cr, gpointer self) {
    auto* me = (GtkNative*)self;
    HBITMAP back = WndAccess::BackBuffer(me->m_wnd);
    uint32_t* px = BitmapPixels(back);
    if (!px) {
      cairo_set_source_rgb(cr, 1, 1, 1);
      cairo_paint(cr);
      return TRUE;
    }
    CSize s = GetBitmapSize(back);
    cairo_surface_t* surf =
        cairo_image_surface_create_for_data((unsigned char*)px, CAIRO_FORMAT_RGB24, s.cx, s.cy, s.cx * 4);
    cairo_set_source_surface(cr, surf, 0, 0);
    cairo_paint(cr);
    cairo_surface_destroy(surf);
    return TRUE;
  }
  static gboolean OnButton(GtkWidget*, GdkEventButton* ev, gpointer self) {
    auto* me = (GtkNative*)self;
    if (ev->button != 1) return TRUE;
    if (ev->type == GDK_BUTTON_PRESS) {
      if (me->m_lastPress) gdk_event_free(me->m_lastPress);
      me->m_lastPress = gdk_event_copy((GdkEvent*)ev);
      me->m_wnd->InjectMouse(WM_LBUTTONDOWN, CPoint((int)ev->x, (int)ev->y));
    } else if (ev->type == GDK_BUTTON_RELEASE) {
      me->m_wnd->InjectMouse(WM_LBUTTONUP, CPoint((int)ev->x, (int)ev->y));
    }
    return TRUE;
  }
  static gboolean OnMotion(GtkWidget*, GdkEventMotion* ev, gpointer self) {
    ((GtkNative*)self)->m_wnd->InjectMouse(WM_MOUSEMOVE, CPoint((int)ev->x, (int)ev->y));
    return TRUE;
  }
  static gboolean OnKey(GtkWidget*, GdkEventKey* ev, gpointer self) {
    auto* me = (GtkNative*)self;
    int vk = 0;
    if (ev->keyval == GDK_KEY_Return || ev->keyval == GDK_KEY_KP_Enter) vk = VK_RETURN;
    else if (ev->keyval == GDK_KEY_Escape) vk = VK_ESCAPE;
    if (vk && me->m_wnd->IsWindowEnabled()) me->m_wnd->PostMessage(WM_KEYDOWN, (WPARAM)vk, 0);
    return vk != 0;
  }
  static gboolean OnDelete(GtkWidget*, GdkEvent*, gpointer self) {
    auto* me = (GtkNative*)self;
    if (me->m_wnd->IsWindowEnabled()) me->m_wnd->PostMessage(WM_CLOSE, 0, 0);
    return TRUE;  // the framework decides
  }
  static gboolean OnConfigure(GtkWidget*, GdkEventConfigure* ev, gpointer self) {
    // A drag by the window manager moves the window without us.
    WndAccess::SetDragPosition(((GtkNative*)self)->m_wnd, CPoint(ev->x, ev->y));
    return FALSE;
  }

  CWnd* m_wnd;
  GtkWidget* m_win;
  GtkWidget* m_area;
  GdkEvent* m_lastPress = nullptr;
  CRect m_rect;
  bool m_keepAbove = false;
  bool m_hasShape = false;
  bool m_hand = false;
  std::vector<CRect> m_shape;
};

class GtkBackend : public Backend {
 public:
  GtkBackend() = default;
  bool Headless() const override { return false; }
  NativeWindow* Create(CWnd* wnd) override {
    // The toolkit belongs to the thread that opened it.
    if (!OnToolkitThread()) return nullptr;
    return new GtkNative(wnd);
  }
  CRect WorkArea() override { return Area(true); }
  CRect Screen() override { return Area(false); }
  bool OpenUrl(const WString& url) override {
    GError* err = nullptr;
    bool ok = g_app_info_launch_default_for_uri(Utf8FromWide(url).c_str(), nullptr, &err);
    if (err) {
      LogWrite(LOG_WARN, "plat::ShellOpen", u"打开网址失败:" + WideFromUtf8(err->message));
      g_error_free(err);
    }
    return ok;
  }
  void Wait(std::vector<pollfd>& fds, int timeoutMs) override {
    GMainContext* ctx = g_main_context_default();
    if (!m_claimed || std::this_thread::get_id() != m_thread || !g_main_context_acquire(ctx)) {
      PollFds(fds, timeoutMs);
      return;
    }
    gint prio = 0, gtimeout = -1;
    g_main_context_prepare(ctx, &prio);
    std::vector<GPollFD> gfds(16);
    int n;
    while ((n = g_main_context_query(ctx, prio, &gtimeout, gfds.data(), (gint)gfds.size())) > (int)gfds.size())
      gfds.resize(n);
    gfds.resize(n);
    size_t own = fds.size();
    std::vector<pollfd> all = fds;
    for (auto& g : gfds) all.push_back({g.fd, (short)g.events, 0});
    int t = timeoutMs;
    if (gtimeout >= 0 && (t < 0 || gtimeout < t)) t = gtimeout;
    PollFds(all, t);
    for (size_t i = 0; i < own; i++) fds[i].revents = all[i].revents;
    for (size_t i = 0; i < gfds.size(); i++) gfds[i].revents = (gushort)all[own + i].revents;
    if (g_main_context_check(ctx, prio, gfds.data(), (gint)gfds.size())) g_main_context_dispatch(ctx);
    g_main_context_release(ctx);
  }
  bool Pump() override {
    if (!m_claimed || std::this_thread::get_id() != m_thread) return false;
    bool any = false;
    for (int i = 0; i < 64 && g_main_context_pending(nullptr); i++) {
      g_main_context_iteration(nullptr, FALSE);
      any = true;
    }
    return any;
  }

 private:
  CRect Area(bool work) {
    if (!OnToolkitThread()) return CRect(0, 0, 1280, 800);
    GdkDisplay* d = gdk_display_get_default();
    GdkMonitor* m = d ? gdk_display_get_primary_monitor(d) : nullptr;
    if (!m && d) m = gdk_display_get_monitor(d, 0);
    if (!m) return CRect(0, 0, 1280, 800);
    GdkRectangle r;
    if (work) gdk_monitor_get_workarea(m, &r);
    else gdk_monitor_get_geometry(m, &r);
    return CRect(r.x, r.y, r.x + r.width, r.y + r.height);
  }
  // The first thread that makes a window (or asks for the screen) owns the toolkit.
  bool OnToolkitThread() {
    if (!m_claimed) {
      m_thread = std::this_thread::get_id();
      m_claimed = true;
    }
    return std::this_thread::get_id() == m_thread;
  }
  std::atomic<bool> m_claimed{false};
  std::thread::id m_thread;
};

Backend* NewGtkBackend() {
  const char* x = getenv("DISPLAY");
  const char* wl = getenv("WAYLAND_DISPLAY");
  if (!(x && *x) && !(wl && *wl)) return nullptr;
  // Windows place themselves on the screen: X11 (or XWayland) allows that.
  gdk_set_allowed_backends("x11,*");
  if (!gtk_init_check(nullptr, nullptr)) return nullptr;
  return new GtkBackend;
}

// Linking this library is what makes a program show its windows.
const Toolkit kGtk{NewGtkBackend, GtkLoadBitmapFile, GtkTextExtent, GtkDrawText};
const bool g_registered = RegisterToolkit(kGtk);

}  // namespace
}  // namespace plat
