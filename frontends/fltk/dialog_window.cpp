// A dialog window of the FLTK front end (see dialog_window.h).
#include "frontends/fltk/dialog_window.h"

#include <FL/Fl.H>
#include <FL/Fl_Menu_Item.H>
#include <FL/fl_draw.H>

#include <cstdint>

#include "framework/dialog.h"
#include "frontends/fltk/x11_window_state.h"

namespace fltk_frontend {

namespace {

constexpr uint32_t kWsSysMenu = 0x00080000;
constexpr uint32_t kBsTypeMask = 0x0000000F;

}  // namespace

bool DialogWindow::CanBuild(const DialogTemplate& tmpl) {
    for (int i = 0; i < tmpl.controlCount; ++i) {
        const DialogControl& c = tmpl.controls[i];
        if (!IsClass(c, "button") && !IsClass(c, "static") && !IsClass(c, "msctls_progress32")) {
            return false;
        }
    }
    return true;
}

DialogWindow::DialogWindow(WindowsShared& shared, CDialog& dialog, const DialogTemplate& tmpl,
                           DialogWindow* owner)
    : Fl_Double_Window(DialogUnitsToPixelsX(tmpl.cx), DialogUnitsToPixelsY(tmpl.cy)),
      CModelWindow(dialog, tmpl),
      m_shared(shared),
      m_font(FontForFace(tmpl.fontName)),
      m_nFontSize(PointsToPixels(tmpl.pointSize)) {
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
        if (Fl::event() == FL_CLOSE) self->SysCommand(SC_CLOSE);
    });
    for (int i = 0; i < tmpl.controlCount; ++i) AddControl(tmpl.controls[i]);
    end();
}

void DialogWindow::AddControl(const DialogControl& c) {
    int x = DialogUnitsToPixelsX(c.x), y = DialogUnitsToPixelsY(c.y),
        w = DialogUnitsToPixelsX(c.cx), h = DialogUnitsToPixelsY(c.cy);
    Fl_Widget* widget = nullptr;
    Kind kind = Kind::Text;
    if (IsClass(c, "button")) {
        bool isDefault = (c.style & kBsTypeMask) == dlgstyle::kDefPushButton;
        auto* button = new PushButton(x, y, w, h, c.id, isDefault);
        button->callback(
            [](Fl_Widget* widget, void* data) {
                auto* self = static_cast<DialogWindow*>(data);
                self->Click(static_cast<PushButton*>(widget)->id());
            },
            this);
        widget = button;
        kind = Kind::Button;
    } else if (IsClass(c, "msctls_progress32")) {
        widget = new ProgressBar(x, y, w, h);
        kind = Kind::Progress;
    } else if ((c.style & dlgstyle::kSsTypeMask) == dlgstyle::kSsIcon) {
        IconImages* icon = m_shared.icons.Find(m_shared.icons.Load(c.iconId));
        widget = new IconStatic(x, y, icon != nullptr ? icon->big.get() : nullptr);
        kind = Kind::Icon;
    } else {
        widget = new TextStatic(x, y, w, h, c.style);
    }
    UseTextLabel(*widget, m_font, m_nFontSize);
    if (kind == Kind::Button || kind == Kind::Text) widget->copy_label(c.text);
    if ((c.style & dlgstyle::kVisible) == 0) widget->hide();
    if ((c.style & dlgstyle::kDisabled) != 0) widget->deactivate();
    if (kind != Kind::Button || (c.style & dlgstyle::kTabStop) == 0) {
        widget->clear_visible_focus();
    }
    m_controls.push_back(Control{c.id, kind, widget});
}

DialogWindow::Control* DialogWindow::Find(int id) {
    for (Control& control : m_controls) {
        if (control.id == id) return &control;
    }
    return nullptr;
}

void DialogWindow::Refresh() {
    if (shown() && m_shared.pacer.ShowNow()) Fl::flush();
}

bool DialogWindow::IsVisible() const {
    return IsMapped(*this);
}

void DialogWindow::Show(bool show) {
    if (show) {
        this->show();
    } else {
        hide();
    }
}

void DialogWindow::Changed(Change what, int id, bool) {
    Control* control = what == Change::Icon ? nullptr : Find(id);
    switch (what) {
        case Change::Text:
            // A progress bar keeps its text without showing it; an icon static has none to show.
            if (control->kind != Kind::Button && control->kind != Kind::Text) return;
            control->widget->copy_label(GetItemText(id).c_str());
            // A static without a box has its background painted by the window.
            control->widget->redraw_label();
            control->widget->redraw();
            break;
        case Change::ItemEnabled:
            if (IsItemEnabled(id)) {
                control->widget->activate();
                Fl_Widget* focus = Fl::focus();
                if (control->widget == m_pLastFocus && (focus == nullptr || focus == this) &&
                    IsActive()) {
                    control->widget->take_focus();
                }
            } else {
                control->widget->deactivate();
            }
            redraw();
            break;
        case Change::Progress:
            static_cast<ProgressBar*>(control->widget)->SetPos(Model().Find(id)->position);
            break;
        case Change::Icon:
            ApplyIcons();
            return;
        default:
            return;
    }
    Refresh();
}

bool DialogWindow::IsActive() const {
    if (!IsMapped(*this)) return false;
    Fl_Widget* focus = Fl::focus();
    if (focus != nullptr && (focus == this || focus->window() == this)) return true;
    return HasInputFocus(*this);
}

void DialogWindow::Activate() {
    RaiseAndFocus(*this);
}

bool DialogWindow::IsIconic() const {
    return fltk_frontend::IsIconic(*this);
}

RECT DialogWindow::GetWindowRect() const {
    // FLTK 1.3 asks the server for the frame through members that are not const.
    FrameOffsets frame = FrameOf(const_cast<DialogWindow&>(*this));
    // Sides and bottom share the side border's width; the top carries the title bar.
    return RECT{x() - frame.left, y() - frame.top, x() + w() + frame.left, y() + h() + frame.left};
}

void DialogWindow::MoveTo(int left, int top) {
    FrameOffsets frame = FrameOf(*this);
    position(left + frame.left, top + frame.top);
    force_position(1);
}

void DialogWindow::ApplyIcons() {
    std::vector<const Fl_RGB_Image*> images;
    IconImages* big = m_shared.icons.Find(Model().bigIcon);
    IconImages* small = m_shared.icons.Find(Model().smallIcon);
    if (big != nullptr && big->big != nullptr) images.push_back(big->big.get());
    if (small != nullptr && small->small != nullptr) images.push_back(small->small.get());
    // FLTK copies the images.
    icons(images.data(), static_cast<int>(images.size()));
}

void DialogWindow::PaintIconic(HICON icon, int x, int y) {
    if (!shown()) return;
    // Inside draw() the drawing surface is ready; otherwise draw straight into the window.
    if (!m_bPainting) make_current();
    m_bIconicPaint = true;
    DeliverToDialog(Dialog(), *this, WM_ICONERASEBKGND, 0, 0);
    if (IconImages* images = m_shared.icons.Find(icon); images != nullptr && images->big) {
        images->big->draw(x, y);
    }
    m_bIconicPaint = false;
    if (!m_bPainting) FlushDisplay();
}

LRESULT DialogWindow::DefaultProc(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_PAINT:
            if (m_bPainting) {
                Fl_Double_Window::draw();
            } else {
                redraw();
                Refresh();
            }
            return 0;
        case WM_ICONERASEBKGND:
            if (m_bIconicPaint) {
                fl_color(color());
                fl_rectf(0, 0, w(), h());
            }
            return 1;
        default:
            return CModelWindow::DefaultProc(message, wParam, lParam);
    }
}

LRESULT DialogWindow::Deliver(UINT message, WPARAM wParam, LPARAM lParam) {
    struct BusyScope {
        DialogWindow& window;
        explicit BusyScope(DialogWindow& w) : window(w) {
            ++window.m_nBusy;
            ++window.m_shared.handlersUnderWay;
        }
        ~BusyScope() {
            --window.m_nBusy;
            --window.m_shared.handlersUnderWay;
        }
    } busy(*this);
    LRESULT result = CModelWindow::Deliver(message, wParam, lParam);
    // The display queued whatever the user did while the handler ran; it is read now, while
    // the window still counts as busy, so that none of it is replayed.
    if (m_nBusy == 1) ReadPendingEvents();
    return result;
}

bool DialogWindow::PreTranslateKey() {
    int key = Fl::event_key();
    bool alt = Fl::event_state(FL_ALT) != 0;
    bool ctrl = Fl::event_state(FL_CTRL | FL_META) != 0;
    if (key == ' ' && alt && !ctrl && (Model().Template().style & kWsSysMenu) != 0) {
        ShowWindowMenu(0, 0);
        return true;
    }
    if (alt || ctrl) return false;
    if (key == FL_Escape) {
        Click(IDCANCEL);
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
        for (Control& control : m_controls) {
            auto* button = dynamic_cast<PushButton*>(control.widget);
            if (button != nullptr && button->templateDefault()) {
                target = button;
                break;
            }
        }
    }
    // Without a default button Return means OK; a disabled default button ignores it.
    if (target != nullptr && !target->active_r()) return;
    Click(target != nullptr ? target->id() : IDOK);
}

void DialogWindow::FocusFirstTabStop() {
    for (Control& control : m_controls) {
        Fl_Widget* widget = control.widget;
        if (widget->visible_focus() && widget->visible() && widget->active()) {
            m_pLastFocus = widget;
            if (shown()) widget->take_focus();
            return;
        }
    }
}

void DialogWindow::ShowWindowMenu(int x, int y) {
    if ((Model().Template().style & kWsSysMenu) == 0) return;
    auto item = [this](const char* text, UINT command) {
        Fl_Menu_Item entry{};
        entry.text = text;
        entry.user_data_ = reinterpret_cast<void*>(static_cast<uintptr_t>(command));
        entry.labeltype_ = kTextLabel;
        entry.labelfont_ = m_font;
        entry.labelsize_ = m_nFontSize;
        entry.labelcolor_ = FL_FOREGROUND_COLOR;
        return entry;
    };
    std::vector<Fl_Menu_Item> items;
    items.push_back(item("&Close", SC_CLOSE));
    for (const MenuEntry& entry : Model().Menu()) {
        if (entry.separator) {
            items.back().flags |= FL_MENU_DIVIDER;
        } else {
            items.push_back(item(entry.text.c_str(), entry.command));
        }
    }
    items.push_back(Fl_Menu_Item{});  // the end of the menu
    const Fl_Menu_Item* picked = items.front().popup(x, y);
    if (picked != nullptr) SysCommand(static_cast<UINT>(picked->argument()));
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
            if (m_pLastFocus != nullptr && m_pLastFocus->visible()) {
                if (m_pLastFocus->active_r()) Fl::focus(m_pLastFocus);
                return 1;
            }
            break;
        default:
            break;
    }
    return Fl_Double_Window::handle(event);
}

void DialogWindow::draw() {
    if (m_bPainting || Dialog().GetWindow() != this) {
        Fl_Double_Window::draw();
        return;
    }
    m_bPainting = true;
    DeliverToDialog(Dialog(), *this, WM_PAINT, 0, 0);
    m_bPainting = false;
}

}  // namespace fltk_frontend
