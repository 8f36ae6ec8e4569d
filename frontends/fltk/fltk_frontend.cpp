// The FLTK front end (FLTK 1.3 on X11): the dialogs as real windows.
// Supports:
//  - Dialog windows built from the resource templates, dialog units converted at base units
//    6 × 13 (8-point "MS Sans Serif"), rounded as the window system rounds them; text in the
//    template's face as fontconfig resolves it. Controls: push buttons (BS_DEFPUSHBUTTON marks
//    the default one), text statics (left, centred or right, SS_SUNKEN, SS_NOPREFIX shows "&"
//    as is; elsewhere "&x" underlines the access key and "&&" is one "&"), SS_ICON statics,
//    progress bars (PBM_SETPOS on 0 to 100, drawn smooth). An unknown control class makes
//    the window impossible to create, as on the window system.
//  - Keys as a dialog takes them: Return presses the focused push button, else the default one
//    (nothing when that one is disabled); Escape is IDCANCEL; Tab and Shift+Tab move between the
//    tab stops; Space or a button's access key presses it.
//  - The window menu, opened with Alt+Space or a right-click: "Close" (SC_CLOSE) and, after a
//    separator, the entries appended with AppendSystemMenu. The close box is SC_CLOSE too.
//  - Message boxes: a modal window of our own with the style's icon (information, stop,
//    exclamation, question) and one OK button; Return, Escape, Space and the close box answer it.
//  - Window icons (32 × 32 and 16 × 16) and SS_ICON pictures from the icon pixels.
//  - Long handlers: every text, enable and progress change is painted at once; input given
//    while a handler runs is read and dropped when it returns, and also before a message box
//    or a dialog opened inside the handler appears, so a key typed ahead cannot answer a box
//    the user has not seen.
// Quirks:
//  - FLTK cannot paint a minimised window. IsIconic reads the window manager's WM_STATE;
//    PaintIconic draws the icon into the window's own surface when asked, which the window
//    manager never shows while the window is iconic: its own icon (ours) is what is seen.
//    WM_QUERYDRAGICON is never sent: no window manager asks a client for a drag image.
//  - Texts are the program's 8-bit text. FLTK reads them as UTF-8 and shows any byte that is
//    not valid UTF-8 as code page 1252, which is what such texts are on the window system.
//  - The frame belongs to the window manager: until a window is first mapped its window
//    rectangle is its client rectangle, so centring a window not yet shown ignores its frame.
//  - Disabling the focused control leaves no control with the focus, as on the window system;
//    enabling it again gives it the focus back when nothing else took it meanwhile.
//  - A disabled window keeps its look; it only stops taking input.
//  - No F1 help, no Move entry in the window menu, no window menu on message boxes; other
//    button styles than push buttons are drawn as push buttons.
#include "frontends/fltk/fltk_frontend.h"

#include <FL/Fl.H>
#include <FL/Fl_Box.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_Menu_Item.H>
#include <FL/Fl_RGB_Image.H>
#include <FL/fl_draw.H>
#include <FL/x.H>
#include <strings.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "framework/dialog.h"
#include "framework/dialog_template.h"

namespace {

constexpr uint32_t kWsSysMenu = 0x00080000;
constexpr uint32_t kBsTypeMask = 0x0000000F;
constexpr uint32_t kSsRight = 0x00000002;
constexpr UINT kMbIconMask = 0x000000F0;
constexpr UINT kMbIconQuestion = 0x00000020;
constexpr int kIconSize = 32;
constexpr int kSmallIconSize = 16;
constexpr int kScreenDpi = 96;
// Text drawn without FLTK's "@" symbols, so that any text shows as given.
constexpr Fl_Labeltype kTextLabel = FL_FREE_LABELTYPE;

bool SameClass(const char* a, const char* b) {
    return a != nullptr && strcasecmp(a, b) == 0;
}

void DrawTextLabel(const Fl_Label* label, int x, int y, int w, int h, Fl_Align align) {
    fl_font(label->font, label->size);
    fl_color(label->color);
    fl_draw(label->value, x, y, w, h, align, label->image, 0);
}

void MeasureTextLabel(const Fl_Label* label, int& w, int& h) {
    fl_font(label->font, label->size);
    fl_measure(label->value, w, h, 0);
}

// A face registered with FLTK once per process: FLTK keeps the name's pointer.
Fl_Font FontForFace(const char* face) {
    static std::map<std::string, std::pair<std::string, Fl_Font>> fonts;
    std::string key = face != nullptr ? face : "";
    if (key.empty()) return FL_HELVETICA;
    auto it = fonts.find(key);
    if (it == fonts.end()) {
        Fl_Font font = static_cast<Fl_Font>(FL_FREE_FONT + fonts.size());
        // The leading blank is FLTK's mark for the regular style of the face.
        it = fonts.emplace(key, std::make_pair(" " + key, font)).first;
        Fl::set_font(font, it->second.first.c_str());
    }
    return it->second.second;
}

Fl_Color HighlightColour() {
    return fl_rgb_color(0, 0, 128);
}

// An icon resource as FLTK images: the pixel buffers live as long as the images.
struct IconImages {
    std::vector<unsigned char> bigPixels;
    std::vector<unsigned char> smallPixels;
    std::unique_ptr<Fl_RGB_Image> big;
    std::unique_ptr<Fl_RGB_Image> small;
};

std::unique_ptr<Fl_RGB_Image> ImageFromPixels(const uint32_t* argb, int size,
                                              std::vector<unsigned char>& rgba) {
    if (argb == nullptr) return nullptr;
    rgba.resize(static_cast<size_t>(size) * size * 4);
    for (int i = 0; i < size * size; ++i) {
        uint32_t pixel = argb[i];
        rgba[i * 4 + 0] = static_cast<unsigned char>(pixel >> 16);
        rgba[i * 4 + 1] = static_cast<unsigned char>(pixel >> 8);
        rgba[i * 4 + 2] = static_cast<unsigned char>(pixel);
        rgba[i * 4 + 3] = static_cast<unsigned char>(pixel >> 24);
    }
    return std::make_unique<Fl_RGB_Image>(rgba.data(), size, size, 4);
}

struct XFreeDeleter {
    void operator()(unsigned char* data) const {
        if (data != nullptr) XFree(data);
    }
};

class FltkFrontEnd;
class DialogWindow;

// A push button drawn as the window system draws one: the default button (the focused push
// button, else the template's default) carries a black frame.
class PushButton : public Fl_Button {
  public:
    PushButton(int x, int y, int w, int h, int id, bool templateDefault)
        : Fl_Button(x, y, w, h), id_(id), templateDefault_(templateDefault) {
        box(FL_UP_BOX);
        down_box(FL_DOWN_BOX);
    }

    int id() const { return id_; }
    bool templateDefault() const { return templateDefault_; }

    bool LooksDefault() const {
        auto* focused = dynamic_cast<PushButton*>(Fl::focus());
        if (focused != nullptr && focused->window() == window()) return focused == this;
        return templateDefault_;
    }

    int handle(int event) override;

    void draw() override {
        int x0 = x(), y0 = y(), w0 = w(), h0 = h();
        if (LooksDefault()) {
            fl_color(FL_BLACK);
            fl_rect(x0, y0, w0, h0);
            ++x0, ++y0, w0 -= 2, h0 -= 2;
        }
        Fl_Boxtype face = value() ? down_box() : box();
        draw_box(face, x0, y0, w0, h0, color());
        // A pressed button's text moves one pixel right and down.
        int shift = value() ? 1 : 0;
        draw_label(x0 + Fl::box_dx(face) + shift, y0 + Fl::box_dy(face) + shift,
                   w0 - Fl::box_dw(face), h0 - Fl::box_dh(face), align());
        if (Fl::focus() == this) draw_focus(face, x0, y0, w0, h0);
    }

  private:
    int id_;
    bool templateDefault_;
};

// A text static: the label, aligned at the top of the control as the window system draws it.
class TextStatic : public Fl_Box {
  public:
    TextStatic(int x, int y, int w, int h, uint32_t style) : Fl_Box(x, y, w, h) {
        box((style & dlgstyle::kSsSunken) != 0 ? FL_THIN_DOWN_BOX : FL_NO_BOX);
        Fl_Align horizontal = 0;
        switch (style & dlgstyle::kSsTypeMask) {
            case dlgstyle::kSsCenter:
                horizontal = 0;
                break;
            case kSsRight:
                horizontal = FL_ALIGN_RIGHT;
                break;
            default:
                horizontal = FL_ALIGN_LEFT;
                break;
        }
        align(FL_ALIGN_INSIDE | FL_ALIGN_TOP | FL_ALIGN_WRAP | FL_ALIGN_CLIP | horizontal);
        if ((style & dlgstyle::kSsNoPrefix) != 0) {
            clear_flag(SHORTCUT_LABEL);
        } else {
            set_flag(SHORTCUT_LABEL);
        }
    }
};

// An SS_ICON static: the window system shows the icon at its own size, whatever the control's.
class IconStatic : public Fl_Widget {
  public:
    IconStatic(int x, int y, Fl_RGB_Image* icon) : Fl_Widget(x, y, kIconSize, kIconSize) {
        image(icon);
    }
    void draw() override {
        if (image() != nullptr) image()->draw(x(), y());
    }
};

// A smooth progress bar with a thin black border, on a 0 to 100 range.
class ProgressBar : public Fl_Widget {
  public:
    ProgressBar(int x, int y, int w, int h) : Fl_Widget(x, y, w, h) {}

    // Returns the previous position; the new one is held inside the range.
    int SetPos(int pos) {
        int previous = pos_;
        pos_ = std::clamp(pos, 0, 100);
        if (pos_ != previous) redraw();
        return previous;
    }

    void draw() override {
        fl_color(FL_BLACK);
        fl_rect(x(), y(), w(), h());
        fl_color(FL_BACKGROUND_COLOR);
        fl_rectf(x() + 1, y() + 1, w() - 2, h() - 2);
        int inner = w() - 4;
        int filled = inner * pos_ / 100;
        if (filled > 0) {
            fl_color(HighlightColour());
            fl_rectf(x() + 2, y() + 2, filled, h() - 4);
        }
    }

  private:
    int pos_ = 0;
};

// The picture of a message box's icon style.
class MessageIcon : public Fl_Widget {
  public:
    MessageIcon(int x, int y, UINT kind) : Fl_Widget(x, y, kIconSize, kIconSize), kind_(kind) {}

    void draw() override {
        int x0 = x(), y0 = y();
        switch (kind_) {
            case MB_ICONSTOP:
                fl_color(FL_RED);
                fl_pie(x0, y0, kIconSize, kIconSize, 0, 360);
                fl_color(FL_WHITE);
                fl_line_style(FL_SOLID | FL_CAP_ROUND, 4);
                fl_line(x0 + 10, y0 + 10, x0 + 21, y0 + 21);
                fl_line(x0 + 21, y0 + 10, x0 + 10, y0 + 21);
                fl_line_style(0);
                break;
            case MB_ICONEXCLAMATION:
                fl_color(FL_YELLOW);
                fl_polygon(x0 + 16, y0 + 1, x0 + 31, y0 + 30, x0 + 1, y0 + 30);
                fl_color(FL_BLACK);
                fl_loop(x0 + 16, y0 + 1, x0 + 31, y0 + 30, x0 + 1, y0 + 30);
                Glyph("!", FL_BLACK, 4);
                break;
            case kMbIconQuestion:
                Disc();
                Glyph("?", FL_WHITE, 0);
                break;
            default:
                Disc();
                Glyph("i", FL_WHITE, 0);
                break;
        }
    }

  private:
    void Disc() const {
        fl_color(fl_rgb_color(0, 0, 255));
        fl_pie(x(), y(), kIconSize, kIconSize, 0, 360);
    }
    void Glyph(const char* text, Fl_Color colour, int down) const {
        fl_font(FL_TIMES_BOLD, 22);
        fl_color(colour);
        fl_draw(text, x(), y() + down, kIconSize, kIconSize, FL_ALIGN_CENTER, nullptr, 0);
    }

    UINT kind_;
};

class MessageBoxWindow : public Fl_Double_Window {
  public:
    MessageBoxWindow(int w, int h, const CString& caption) : Fl_Double_Window(w, h) {
        copy_label(caption.c_str());
        size_range(w, h, w, h);
        set_modal();
        // The close box answers the box as OK does.
        callback([](Fl_Widget* window, void*) { window->hide(); });
    }

    void MoveTo(int left, int top) {
        position(left, top);
        force_position(1);
    }

    int handle(int event) override {
        if (event == FL_KEYDOWN || event == FL_SHORTCUT) {
            int key = Fl::event_key();
            if (key == FL_Enter || key == FL_KP_Enter || key == FL_Escape) {
                hide();
                return 1;
            }
        }
        return Fl_Double_Window::handle(event);
    }
};

class FltkFrontEnd : public CFrontEnd {
  public:
    FltkFrontEnd();
    ~FltkFrontEnd() override;
    FltkFrontEnd(const FltkFrontEnd&) = delete;
    FltkFrontEnd& operator=(const FltkFrontEnd&) = delete;

    bool HasTemplate(int templateId) const override {
        return FindDialogTemplate(templateId) != nullptr;
    }
    std::unique_ptr<IDialogWindow> CreateDialogWindow(CDialog& dialog, int templateId,
                                                      IDialogWindow* owner) override;
    void RunModalLoop(CDialog& dialog, IDialogWindow& window) override;
    int MessageBox(IDialogWindow* owner, const CString& text, const CString& caption,
                   UINT style) override;
    HICON LoadIcon(int iconId) override;
    CString LoadString(int stringId) override {
        const char* text = FindStringResource(stringId);
        return text != nullptr ? CString(text) : CString();
    }
    int GetSystemMetrics(int index) override {
        return index == SM_CXICON || index == SM_CYICON ? kIconSize : 0;
    }
    RECT GetWorkArea(const IDialogWindow* window) override;

    // The images behind a handle that LoadIcon gave; null for any other value.
    IconImages* FindIcon(HICON icon) const {
        for (const auto& entry : icons_) {
            if (reinterpret_cast<HICON>(entry.second.get()) == icon) return entry.second.get();
        }
        return nullptr;
    }

    // Handlers under way, in any window.
    void EnterHandler() { ++handlerDepth_; }
    void LeaveHandler() { --handlerDepth_; }

    // Reads every event the display has sent so far and lets it be dispatched; the windows
    // whose handlers are under way drop their input.
    static void DiscardPendingInput() {
        XSync(fl_display, False);
        Fl::check();
    }

  private:
    static int Dispatch(int event, Fl_Window* window);

    std::map<int, std::unique_ptr<IconImages>> icons_;
    int handlerDepth_ = 0;
    Fl_Event_Dispatch previousDispatch_ = nullptr;
};

class DialogWindow : public Fl_Double_Window, public IDialogWindow {
  public:
    DialogWindow(FltkFrontEnd& frontEnd, CDialog& dialog, const DialogTemplate& tmpl,
                 DialogWindow* owner);
    ~DialogWindow() override = default;

    // IDialogWindow
    void SetItemText(int id, const CString& text) override;
    CString GetItemText(int id) const override {
        const Control* control = Find(id);
        return control != nullptr ? control->text : CString();
    }
    void EnableItem(int id, bool enable) override;
    bool IsItemEnabled(int id) const override {
        const Control* control = Find(id);
        return control != nullptr && control->widget->active();
    }
    LRESULT SendItemMessage(int id, UINT message, WPARAM wParam, LPARAM lParam) override;
    bool IsVisible() const override { return Mapped(); }
    void Show(bool show) override {
        if (show) {
            this->show();
        } else {
            hide();
        }
    }
    bool IsEnabled() const override { return enabled_; }
    void Enable(bool enable) override { enabled_ = enable; }
    bool IsActive() const override;
    void Activate() override;
    bool IsIconic() const override;
    bool IsChild() const override { return false; }
    RECT GetWindowRect() const override;
    RECT GetClientRect() const override { return RECT{0, 0, w(), h()}; }
    void MoveTo(int left, int top) override;
    bool AppendSystemMenu(UINT flags, UINT commandId, const char* text) override;
    void SetIcon(int which, HICON icon) override;
    void PaintIconic(HICON icon, int x, int y) override;
    LRESULT DefaultProc(UINT message, WPARAM wParam, LPARAM lParam) override;

    // Delivers a message to the dialog, with the window system's default treatment when the
    // dialog leaves it. Input that arrives meanwhile is dropped, not replayed afterwards.
    LRESULT Deliver(UINT message, WPARAM wParam, LPARAM lParam);
    bool TakesInput() const { return busy_ == 0 && enabled_; }
    // Whether the window exists on the display (shown, perhaps iconic): FLTK 1.3's shown() is
    // not const.
    bool Mapped() const { return fl_xid(this) != 0; }
    // The keys a dialog takes before its controls see them; true when the key was used.
    bool PreTranslateKey();
    // After WM_INITDIALOG asked for it: the focus goes to the first tab stop.
    void FocusFirstTabStop();
    void RememberFocus(Fl_Widget* widget) { lastFocus_ = widget; }

    int handle(int event) override;
    void draw() override;

  private:
    enum class Kind { Button, Text, Icon, Progress };
    struct Control {
        int id;
        Kind kind;
        Fl_Widget* widget;  // owned by the window, as FLTK's groups own their children
        CString text;
    };
    struct MenuEntry {
        bool separator;
        UINT command;
        std::string text;
    };

    void AddControl(const DialogControl& control);
    Control* Find(int id);
    const Control* Find(int id) const;
    void PressDefault();
    void ShowWindowMenu(int x, int y);
    void ApplyIcons();
    // Frame offsets of the window manager's decoration (zero before the window is mapped).
    void FrameOffsets(int& left, int& top) const;
    // Paints pending changes now, even while a handler keeps the event loop from running.
    void Refresh() {
        if (shown()) Fl::flush();
    }

    FltkFrontEnd& frontEnd_;
    CDialog& dialog_;
    const DialogTemplate& template_;
    Fl_Font font_;
    int fontSize_;
    std::vector<Control> controls_;
    std::vector<MenuEntry> menu_;
    IconImages* bigIcon_ = nullptr;
    IconImages* smallIcon_ = nullptr;
    Fl_Widget* lastFocus_ = nullptr;
    bool enabled_ = true;
    int busy_ = 0;
    bool painting_ = false;
    bool iconicPaint_ = false;
};

// ---- PushButton ----

int PushButton::handle(int event) {
    if (event == FL_FOCUS || event == FL_UNFOCUS) {
        // The default frame follows the focus among the push buttons.
        if (event == FL_FOCUS) {
            if (auto* dialog = dynamic_cast<DialogWindow*>(window())) dialog->RememberFocus(this);
        }
        if (parent() != nullptr) parent()->redraw();
    }
    // Push buttons answer the left button only; the right one opens the window menu.
    if (event == FL_PUSH && Fl::event_button() != FL_LEFT_MOUSE) return 0;
    return Fl_Button::handle(event);
}

// ---- DialogWindow ----

DialogWindow::DialogWindow(FltkFrontEnd& frontEnd, CDialog& dialog, const DialogTemplate& tmpl,
                           DialogWindow* owner)
    : Fl_Double_Window(DialogUnitsToPixelsX(tmpl.cx), DialogUnitsToPixelsY(tmpl.cy)),
      frontEnd_(frontEnd),
      dialog_(dialog),
      template_(tmpl),
      font_(FontForFace(tmpl.fontName)),
      fontSize_(MulDivRounded(tmpl.pointSize, kScreenDpi, 72)) {
    // Without an absolute-position style the template's position is relative to the owner's
    // client area.
    int originX = owner != nullptr ? owner->x() : 0;
    int originY = owner != nullptr ? owner->y() : 0;
    position(originX + DialogUnitsToPixelsX(tmpl.x), originY + DialogUnitsToPixelsY(tmpl.y));
    force_position(1);
    copy_label(tmpl.caption);
    // A modal frame without a sizing border: the size is fixed.
    size_range(w(), h(), w(), h());
    if (owner != nullptr) set_modal();
    callback([](Fl_Widget* widget, void*) {
        auto* self = static_cast<DialogWindow*>(widget);
        if (Fl::event() == FL_CLOSE) self->Deliver(WM_SYSCOMMAND, SC_CLOSE, 0);
    });
    for (int i = 0; i < tmpl.controlCount; ++i) AddControl(tmpl.controls[i]);
    end();
}

void DialogWindow::AddControl(const DialogControl& c) {
    int x = DialogUnitsToPixelsX(c.x), y = DialogUnitsToPixelsY(c.y),
        w = DialogUnitsToPixelsX(c.cx), h = DialogUnitsToPixelsY(c.cy);
    Fl_Widget* widget = nullptr;
    Kind kind = Kind::Text;
    if (SameClass(c.className, "button")) {
        bool isDefault = (c.style & kBsTypeMask) == dlgstyle::kDefPushButton;
        auto* button = new PushButton(x, y, w, h, c.id, isDefault);
        button->callback(
            [](Fl_Widget* widget, void* data) {
                auto* self = static_cast<DialogWindow*>(data);
                int id = static_cast<PushButton*>(widget)->id();
                self->Deliver(WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), 0);
            },
            this);
        widget = button;
        kind = Kind::Button;
    } else if (SameClass(c.className, "msctls_progress32")) {
        widget = new ProgressBar(x, y, w, h);
        kind = Kind::Progress;
    } else if ((c.style & dlgstyle::kSsTypeMask) == dlgstyle::kSsIcon) {
        IconImages* icon = frontEnd_.FindIcon(frontEnd_.LoadIcon(c.iconId));
        widget = new IconStatic(x, y, icon != nullptr ? icon->big.get() : nullptr);
        kind = Kind::Icon;
    } else {
        widget = new TextStatic(x, y, w, h, c.style);
    }
    widget->labeltype(kTextLabel);
    widget->labelfont(font_);
    widget->labelsize(fontSize_);
    if (kind == Kind::Button || kind == Kind::Text) widget->copy_label(c.text);
    if ((c.style & dlgstyle::kVisible) == 0) widget->hide();
    if ((c.style & dlgstyle::kDisabled) != 0) widget->deactivate();
    if (kind != Kind::Button || (c.style & dlgstyle::kTabStop) == 0) {
        widget->clear_visible_focus();
    }
    controls_.push_back(Control{c.id, kind, widget, c.text != nullptr ? c.text : ""});
}

DialogWindow::Control* DialogWindow::Find(int id) {
    for (Control& control : controls_) {
        if (control.id == id) return &control;
    }
    return nullptr;
}

const DialogWindow::Control* DialogWindow::Find(int id) const {
    return const_cast<DialogWindow*>(this)->Find(id);
}

void DialogWindow::SetItemText(int id, const CString& text) {
    Control* control = Find(id);
    if (control == nullptr) return;
    control->text = text;
    // A progress bar keeps its text without showing it; an icon static has none to show.
    if (control->kind == Kind::Button || control->kind == Kind::Text) {
        control->widget->copy_label(text.c_str());
        // A static without a box has its background painted by the window.
        control->widget->redraw_label();
        control->widget->redraw();
        Refresh();
    }
}

void DialogWindow::EnableItem(int id, bool enable) {
    Control* control = Find(id);
    if (control == nullptr) return;
    Fl_Widget* widget = control->widget;
    if (enable) {
        widget->activate();
        Fl_Widget* focus = Fl::focus();
        if (widget == lastFocus_ && (focus == nullptr || focus == this) && IsActive()) {
            widget->take_focus();
        }
    } else {
        widget->deactivate();
    }
    redraw();
    Refresh();
}

LRESULT DialogWindow::SendItemMessage(int id, UINT message, WPARAM wParam, LPARAM) {
    Control* control = Find(id);
    if (control == nullptr || control->kind != Kind::Progress || message != PBM_SETPOS) return 0;
    int previous = static_cast<ProgressBar*>(control->widget)->SetPos(static_cast<int>(wParam));
    Refresh();
    return previous;
}

bool DialogWindow::IsActive() const {
    if (!Mapped()) return false;
    Fl_Widget* focus = Fl::focus();
    if (focus != nullptr && (focus == this || focus->window() == this)) return true;
    Window xfocus = 0;
    int revert = 0;
    XGetInputFocus(fl_display, &xfocus, &revert);
    return xfocus == fl_xid(this);
}

void DialogWindow::Activate() {
    if (!shown()) return;
    Window xid = fl_xid(this);
    XRaiseWindow(fl_display, xid);
    XWindowAttributes attributes;
    // Only a viewable window can take the input focus.
    if (XGetWindowAttributes(fl_display, xid, &attributes) != 0 &&
        attributes.map_state == IsViewable) {
        XSetInputFocus(fl_display, xid, RevertToParent, CurrentTime);
    }
}

bool DialogWindow::IsIconic() const {
    if (!Mapped()) return false;
    Atom wmState = XInternAtom(fl_display, "WM_STATE", False);
    Atom type = 0;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(fl_display, fl_xid(this), wmState, 0, 2, False, wmState, &type, &format,
                           &count, &after, &data) != Success) {
        return false;
    }
    std::unique_ptr<unsigned char, XFreeDeleter> owned(data);
    return data != nullptr && format == 32 && count >= 1 &&
           reinterpret_cast<const long*>(data)[0] == IconicState;
}

void DialogWindow::FrameOffsets(int& left, int& top) const {
    left = top = 0;
    if (!Mapped()) return;
    // decorated_w/h ask the server; they are not const in FLTK 1.3.
    auto* self = const_cast<DialogWindow*>(this);
    left = (self->decorated_w() - w()) / 2;
    top = self->decorated_h() - h() - left;
}

RECT DialogWindow::GetWindowRect() const {
    int left = 0, top = 0;
    FrameOffsets(left, top);
    // Sides and bottom share the side border's width; the top carries the title bar.
    return RECT{x() - left, y() - top, x() + w() + left, y() + h() + left};
}

void DialogWindow::MoveTo(int left, int top) {
    int frameLeft = 0, frameTop = 0;
    FrameOffsets(frameLeft, frameTop);
    position(left + frameLeft, top + frameTop);
    force_position(1);
}

bool DialogWindow::AppendSystemMenu(UINT flags, UINT commandId, const char* text) {
    if ((template_.style & kWsSysMenu) == 0) return false;
    menu_.push_back(MenuEntry{(flags & MF_SEPARATOR) != 0, commandId, text != nullptr ? text : ""});
    return true;
}

void DialogWindow::SetIcon(int which, HICON icon) {
    (which == ICON_BIG ? bigIcon_ : smallIcon_) = frontEnd_.FindIcon(icon);
    ApplyIcons();
}

void DialogWindow::ApplyIcons() {
    std::vector<const Fl_RGB_Image*> images;
    if (bigIcon_ != nullptr && bigIcon_->big != nullptr) images.push_back(bigIcon_->big.get());
    if (smallIcon_ != nullptr && smallIcon_->small != nullptr) {
        images.push_back(smallIcon_->small.get());
    }
    // FLTK copies the images.
    icons(images.data(), static_cast<int>(images.size()));
}

void DialogWindow::PaintIconic(HICON icon, int x, int y) {
    if (!shown()) return;
    // Inside draw() the drawing surface is ready; otherwise draw straight into the window.
    if (!painting_) make_current();
    iconicPaint_ = true;
    DeliverToDialog(dialog_, *this, WM_ICONERASEBKGND, 0, 0);
    if (IconImages* images = frontEnd_.FindIcon(icon); images != nullptr && images->big) {
        images->big->draw(x, y);
    }
    iconicPaint_ = false;
    if (!painting_) XFlush(fl_display);
}

LRESULT DialogWindow::DefaultProc(UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
        case WM_SYSCOMMAND:
            if ((wParam & 0xFFF0) == SC_CLOSE) Deliver(WM_CLOSE, 0, 0);
            return 0;
        case WM_CLOSE:
            // A dialog's Close is its Cancel button.
            Deliver(WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
            return 0;
        case WM_PAINT:
            if (painting_) {
                Fl_Double_Window::draw();
            } else {
                redraw();
                Refresh();
            }
            return 0;
        case WM_ICONERASEBKGND:
            if (iconicPaint_) {
                fl_color(color());
                fl_rectf(0, 0, w(), h());
            }
            return 1;
        default:
            return 0;
    }
}

LRESULT DialogWindow::Deliver(UINT message, WPARAM wParam, LPARAM lParam) {
    struct BusyScope {
        DialogWindow& window;
        explicit BusyScope(DialogWindow& w) : window(w) {
            ++window.busy_;
            window.frontEnd_.EnterHandler();
        }
        ~BusyScope() {
            --window.busy_;
            window.frontEnd_.LeaveHandler();
        }
    } busy(*this);
    LRESULT result = DeliverToDialog(dialog_, *this, message, wParam, lParam);
    // The display queued whatever the user did while the handler ran; it is read now, while
    // the window still counts as busy, so that none of it is replayed.
    if (busy_ == 1) FltkFrontEnd::DiscardPendingInput();
    return result;
}

bool DialogWindow::PreTranslateKey() {
    int key = Fl::event_key();
    bool alt = Fl::event_state(FL_ALT) != 0;
    bool ctrl = Fl::event_state(FL_CTRL | FL_META) != 0;
    if (key == ' ' && alt && !ctrl && (template_.style & kWsSysMenu) != 0) {
        ShowWindowMenu(0, 0);
        return true;
    }
    if (alt || ctrl) return false;
    if (key == FL_Escape) {
        Deliver(WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
        return true;
    }
    if (key == FL_Enter || key == FL_KP_Enter) {
        PressDefault();
        return true;
    }
    return false;
}

void DialogWindow::PressDefault() {
    PushButton* target = nullptr;
    if (auto* focused = dynamic_cast<PushButton*>(Fl::focus());
        focused != nullptr && focused->window() == this) {
        target = focused;
    } else {
        for (Control& control : controls_) {
            auto* button = dynamic_cast<PushButton*>(control.widget);
            if (button != nullptr && button->templateDefault()) {
                target = button;
                break;
            }
        }
    }
    // Without a default button Return means OK; a disabled default button ignores it.
    if (target != nullptr && !target->active_r()) return;
    int id = target != nullptr ? target->id() : IDOK;
    Deliver(WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), 0);
}

void DialogWindow::FocusFirstTabStop() {
    for (Control& control : controls_) {
        Fl_Widget* widget = control.widget;
        if (widget->visible_focus() && widget->visible() && widget->active()) {
            lastFocus_ = widget;
            if (shown()) widget->take_focus();
            return;
        }
    }
}

void DialogWindow::ShowWindowMenu(int x, int y) {
    if ((template_.style & kWsSysMenu) == 0) return;
    auto item = [this](const char* text, UINT command) {
        Fl_Menu_Item entry{};
        entry.text = text;
        entry.user_data_ = reinterpret_cast<void*>(static_cast<uintptr_t>(command));
        entry.labeltype_ = kTextLabel;
        entry.labelfont_ = font_;
        entry.labelsize_ = fontSize_;
        entry.labelcolor_ = FL_FOREGROUND_COLOR;
        return entry;
    };
    std::vector<Fl_Menu_Item> items;
    items.push_back(item("&Close", SC_CLOSE));
    for (const MenuEntry& entry : menu_) {
        if (entry.separator) {
            items.back().flags |= FL_MENU_DIVIDER;
        } else {
            items.push_back(item(entry.text.c_str(), entry.command));
        }
    }
    items.push_back(Fl_Menu_Item{});  // the end of the menu
    const Fl_Menu_Item* picked = items.front().popup(x, y);
    if (picked != nullptr) Deliver(WM_SYSCOMMAND, static_cast<WPARAM>(picked->argument()), 0);
}

int DialogWindow::handle(int event) {
    switch (event) {
        case FL_PUSH:
            if (Fl::event_button() == FL_RIGHT_MOUSE) {
                ShowWindowMenu(Fl::event_x(), Fl::event_y());
                return 1;
            }
            break;
        case FL_FOCUS:
            // Back in the window, the focus returns to the control that had it. While that
            // control is disabled the window keeps the focus itself rather than let FLTK hand
            // it to the next button (Return would then press Cancel after a run).
            if (lastFocus_ != nullptr && lastFocus_->visible()) {
                if (lastFocus_->active_r()) Fl::focus(lastFocus_);
                return 1;
            }
            break;
        default:
            break;
    }
    return Fl_Double_Window::handle(event);
}

void DialogWindow::draw() {
    if (painting_ || dialog_.GetWindow() != this) {
        Fl_Double_Window::draw();
        return;
    }
    painting_ = true;
    DeliverToDialog(dialog_, *this, WM_PAINT, 0, 0);
    painting_ = false;
}

// ---- FltkFrontEnd ----

FltkFrontEnd::FltkFrontEnd() {
    Fl::set_labeltype(kTextLabel, DrawTextLabel, MeasureTextLabel);
    previousDispatch_ = Fl::event_dispatch();
    Fl::event_dispatch(&FltkFrontEnd::Dispatch);
}

FltkFrontEnd::~FltkFrontEnd() {
    Fl::event_dispatch(previousDispatch_);
}

bool IsInputEvent(int event) {
    switch (event) {
        case FL_PUSH:
        case FL_RELEASE:
        case FL_DRAG:
        case FL_MOUSEWHEEL:
        case FL_KEYDOWN:
        case FL_KEYUP:
        case FL_SHORTCUT:
        case FL_CLOSE:
        case FL_PASTE:
        case FL_DND_ENTER:
        case FL_DND_DRAG:
        case FL_DND_LEAVE:
        case FL_DND_RELEASE:
            return true;
        default:
            return false;
    }
}

// Every event passes here first: a dialog window that is disabled or whose handler is under way
// drops its input, and dialog keys are taken before the controls see them. While a popup menu
// holds the grab, everything is the menu's.
int FltkFrontEnd::Dispatch(int event, Fl_Window* window) {
    if (window != nullptr && Fl::grab() == nullptr) {
        // With a modal window up, the keyboard belongs to it.
        Fl_Window* target = Fl::modal() != nullptr ? Fl::modal() : window;
        if (auto* dialog = dynamic_cast<DialogWindow*>(target)) {
            if (IsInputEvent(event) && !dialog->TakesInput()) return 1;
            if (event == FL_KEYDOWN && dialog->PreTranslateKey()) return 1;
        }
    }
    return Fl::handle_(event, window);
}

std::unique_ptr<IDialogWindow> FltkFrontEnd::CreateDialogWindow(CDialog& dialog, int templateId,
                                                                IDialogWindow* owner) {
    const DialogTemplate* tmpl = FindDialogTemplate(templateId);
    if (tmpl == nullptr) return nullptr;
    for (int i = 0; i < tmpl->controlCount; ++i) {
        const DialogControl& c = tmpl->controls[i];
        if (!SameClass(c.className, "button") && !SameClass(c.className, "static") &&
            !SameClass(c.className, "msctls_progress32")) {
            return nullptr;
        }
    }
    auto window =
        std::make_unique<DialogWindow>(*this, dialog, *tmpl, dynamic_cast<DialogWindow*>(owner));
    dialog.Attach(window.get());
    if (window->Deliver(WM_INITDIALOG, 0, 0) != 0) window->FocusFirstTabStop();
    // A dialog ended during its initialisation is never shown.
    if ((tmpl->style & dlgstyle::kVisible) != 0 && !dialog.IsEnded()) window->Show(true);
    return window;
}

void FltkFrontEnd::RunModalLoop(CDialog& dialog, IDialogWindow& window) {
    // Keys typed ahead while the handler that opens this dialog ran are not for it.
    if (handlerDepth_ > 0) DiscardPendingInput();
    if (!window.IsVisible()) window.Show(true);
    while (!dialog.IsEnded()) {
        // Fl::wait() is 0 once no window is shown: nothing could end the dialog any more.
        if (Fl::wait() == 0 && !dialog.IsEnded()) dialog.EndDialog(IDCANCEL);
    }
}

int FltkFrontEnd::MessageBox(IDialogWindow* owner, const CString& text, const CString& caption,
                             UINT style) {
    if (handlerDepth_ > 0) DiscardPendingInput();

    constexpr int kMargin = 12;
    constexpr int kButtonWidth = 75;  // 50 × 14 dialog units
    constexpr int kButtonHeight = 23;
    const Fl_Font font = FL_HELVETICA;
    const int fontSize = MulDivRounded(8, kScreenDpi, 72);
    UINT iconKind = style & kMbIconMask;
    bool hasIcon = iconKind == MB_ICONINFORMATION || iconKind == MB_ICONSTOP ||
                   iconKind == MB_ICONEXCLAMATION || iconKind == kMbIconQuestion;

    RECT area = GetWorkArea(owner);
    fl_font(font, fontSize);
    int textWidth = 0, textHeight = 0;
    fl_measure(text.c_str(), textWidth, textHeight, 0);
    int widest = static_cast<int>(area.right - area.left) * 3 / 4;
    bool wrap = textWidth > widest;
    if (wrap) {
        textWidth = widest;
        textHeight = 0;
        fl_measure(text.c_str(), textWidth, textHeight, 0);
    }
    int textX = hasIcon ? kMargin + kIconSize + kMargin : kMargin;
    int contentHeight = std::max(hasIcon ? kIconSize : 0, textHeight);
    int textY = kMargin + (contentHeight - textHeight) / 2;
    int buttonY = kMargin + contentHeight + kMargin;
    int width = std::max(textX + textWidth + kMargin, kButtonWidth + 2 * kMargin);
    int height = buttonY + kButtonHeight + kMargin;

    MessageBoxWindow box(width, height, caption);
    if (hasIcon) new MessageIcon(kMargin, kMargin, iconKind);  // children belong to the window
    auto* label = new Fl_Box(textX, textY, textWidth, textHeight);
    label->labeltype(kTextLabel);
    label->labelfont(font);
    label->labelsize(fontSize);
    // Wrapped only when too wide for the screen: wrapping at the measured width itself could
    // break a line that fits.
    label->align(FL_ALIGN_INSIDE | FL_ALIGN_TOP_LEFT | (wrap ? FL_ALIGN_WRAP : 0));
    label->copy_label(text.c_str());
    auto* ok = new PushButton((width - kButtonWidth) / 2, buttonY, kButtonWidth, kButtonHeight,
                              IDOK, true);
    ok->labeltype(kTextLabel);
    ok->labelfont(font);
    ok->labelsize(fontSize);
    ok->copy_label("OK");
    ok->callback([](Fl_Widget* button, void*) { button->window()->hide(); });
    box.end();

    POINT at = CentredPosition(owner, area, width, height);
    box.MoveTo(at.x, at.y);

    box.show();
    ok->take_focus();
    while (box.shown()) Fl::wait();
    // As the window system does, the owner is active again once its box has gone.
    if (owner != nullptr && owner->IsVisible()) owner->Activate();
    return IDOK;
}

HICON FltkFrontEnd::LoadIcon(int iconId) {
    auto it = icons_.find(iconId);
    if (it == icons_.end()) {
        auto images = std::make_unique<IconImages>();
        images->big =
            ImageFromPixels(FindIconPixels(iconId, kIconSize), kIconSize, images->bigPixels);
        if (images->big == nullptr) return nullptr;
        images->small = ImageFromPixels(FindIconPixels(iconId, kSmallIconSize), kSmallIconSize,
                                        images->smallPixels);
        it = icons_.emplace(iconId, std::move(images)).first;
    }
    return reinterpret_cast<HICON>(it->second.get());
}

RECT FltkFrontEnd::GetWorkArea(const IDialogWindow* window) {
    int screen = 0;
    if (auto* dialog = dynamic_cast<const DialogWindow*>(window)) {
        screen = Fl::screen_num(dialog->x() + dialog->w() / 2, dialog->y() + dialog->h() / 2);
    }
    int x = 0, y = 0, w = 0, h = 0;
    Fl::screen_work_area(x, y, w, h, screen);
    return RECT{x, y, x + w, y + h};
}

}  // namespace

std::unique_ptr<CFrontEnd> CreateFltkFrontEnd() {
    if (fl_display == nullptr) {
        Display* display = XOpenDisplay(nullptr);
        if (display == nullptr) return nullptr;
        // FLTK takes the connection over and keeps it until the process ends.
        fl_open_display(display);
    }
    return std::make_unique<FltkFrontEnd>();
}
