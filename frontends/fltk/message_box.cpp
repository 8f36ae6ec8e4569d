// The FLTK front end's message boxes (see message_box.h).
#include "frontends/fltk/message_box.h"

#include <FL/Fl.H>
#include <FL/Fl_Box.H>
#include <FL/Fl_Double_Window.H>
#include <FL/fl_draw.H>

#include <algorithm>

#include "frontends/fltk/widgets.h"

namespace fltk_frontend {

namespace {

constexpr UINT kMbIconMask = 0x000000F0;
constexpr int kMargin = 12;
constexpr int kButtonWidth = 75;  // 50 × 14 dialog units
constexpr int kButtonHeight = 23;

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

}  // namespace

int RunMessageBox(IDialogWindow* owner, const RECT& workArea, const CString& text,
                  const CString& caption, UINT style) {
    const Fl_Font font = FL_HELVETICA;
    const int fontSize = PointsToPixels(8);
    UINT iconKind = style & kMbIconMask;
    bool hasIcon = iconKind == MB_ICONINFORMATION || iconKind == MB_ICONSTOP ||
                   iconKind == MB_ICONEXCLAMATION || iconKind == kMbIconQuestion;

    fl_font(font, fontSize);
    int textWidth = 0, textHeight = 0;
    fl_measure(text.c_str(), textWidth, textHeight, 0);
    int widest = static_cast<int>(workArea.right - workArea.left) * 3 / 4;
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
    UseTextLabel(*label, font, fontSize);
    // Wrapped only when too wide for the screen: wrapping at the measured width itself could
    // break a line that fits.
    label->align(FL_ALIGN_INSIDE | FL_ALIGN_TOP_LEFT | (wrap ? FL_ALIGN_WRAP : 0));
    label->copy_label(text.c_str());
    auto* ok = new PushButton((width - kButtonWidth) / 2, buttonY, kButtonWidth, kButtonHeight,
                              IDOK, true);
    UseTextLabel(*ok, font, fontSize);
    ok->copy_label("OK");
    ok->callback([](Fl_Widget* button, void*) { button->window()->hide(); });
    box.end();

    POINT at = CentredPosition(owner, workArea, width, height);
    box.MoveTo(at.x, at.y);

    box.show();
    ok->take_focus();
    while (box.shown()) Fl::wait();
    // As the window system does, the owner is active again once its box has gone.
    if (owner != nullptr && owner->IsVisible()) owner->Activate();
    return IDOK;
}

}  // namespace fltk_frontend
