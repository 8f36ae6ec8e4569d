// The FLTK widgets of the dialogs and message boxes (see widgets.h).
#include "frontends/fltk/widgets.h"

#include <FL/Fl.H>
#include <FL/Fl_Window.H>
#include <FL/fl_draw.H>

#include <algorithm>
#include <utility>

#include "framework/cstring.h"
#include "framework/dialog_template.h"

namespace fltk_frontend {

namespace {

constexpr int kScreenDpi = 96;
constexpr uint32_t kSsRight = 0x00000002;

void DrawTextLabel(const Fl_Label* label, int x, int y, int w, int h, Fl_Align align) {
    fl_font(label->font, label->size);
    fl_color(label->color);
    fl_draw(label->value, x, y, w, h, align, label->image, 0);
}

void MeasureTextLabel(const Fl_Label* label, int& w, int& h) {
    fl_font(label->font, label->size);
    fl_measure(label->value, w, h, 0);
}

Fl_Color HighlightColour() {
    return fl_rgb_color(0, 0, 128);
}

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

}  // namespace

void RegisterTextLabel() {
    Fl::set_labeltype(kTextLabel, DrawTextLabel, MeasureTextLabel);
}

void UseTextLabel(Fl_Widget& widget, Fl_Font font, int size) {
    widget.labeltype(kTextLabel);
    widget.labelfont(font);
    widget.labelsize(size);
}

// A face registered with FLTK once per process: FLTK keeps the name's pointer.
Fl_Font FontForFace(const char* face) {
    static std::map<CString, std::pair<CString, Fl_Font>> fonts;
    CString key = face != nullptr ? face : "";
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

int PointsToPixels(int points) {
    return MulDivRounded(points, kScreenDpi, 72);
}

// ---- IconCache ----

HICON IconCache::Load(int iconId) {
    auto it = m_icons.find(iconId);
    if (it == m_icons.end()) {
        auto images = std::make_unique<IconImages>();
        images->big =
            ImageFromPixels(FindIconPixels(iconId, kIconSize), kIconSize, images->bigPixels);
        if (images->big == nullptr) return nullptr;
        images->small = ImageFromPixels(FindIconPixels(iconId, kSmallIconSize), kSmallIconSize,
                                        images->smallPixels);
        it = m_icons.emplace(iconId, std::move(images)).first;
    }
    return reinterpret_cast<HICON>(it->second.get());
}

IconImages* IconCache::Find(HICON icon) const {
    for (const auto& entry : m_icons) {
        if (reinterpret_cast<HICON>(entry.second.get()) == icon) return entry.second.get();
    }
    return nullptr;
}

// ---- PushButton ----

PushButton::PushButton(int x, int y, int w, int h, int id, bool templateDefault)
    : Fl_Button(x, y, w, h), m_nId(id), m_bTemplateDefault(templateDefault) {
    box(FL_UP_BOX);
    down_box(FL_DOWN_BOX);
}

bool PushButton::LooksDefault() const {
    auto* focused = dynamic_cast<PushButton*>(Fl::focus());
    if (focused != nullptr && focused->window() == window()) return focused == this;
    return m_bTemplateDefault;
}

int PushButton::handle(int event) {
    if (event == FL_FOCUS || event == FL_UNFOCUS) {
        // The default frame follows the focus among the push buttons.
        if (event == FL_FOCUS) {
            if (auto* keeper = dynamic_cast<FocusKeeper*>(window())) keeper->RememberFocus(this);
        }
        if (parent() != nullptr) parent()->redraw();
    }
    // Push buttons answer the left button only; the right one opens the window menu.
    if (event == FL_PUSH && Fl::event_button() != FL_LEFT_MOUSE) return 0;
    return Fl_Button::handle(event);
}

void PushButton::draw() {
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
    draw_label(x0 + Fl::box_dx(face) + shift, y0 + Fl::box_dy(face) + shift, w0 - Fl::box_dw(face),
               h0 - Fl::box_dh(face), align());
    if (Fl::focus() == this) draw_focus(face, x0, y0, w0, h0);
}

// ---- TextStatic, IconStatic ----

TextStatic::TextStatic(int x, int y, int w, int h, uint32_t style) : Fl_Box(x, y, w, h) {
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

IconStatic::IconStatic(int x, int y, Fl_RGB_Image* icon) : Fl_Widget(x, y, kIconSize, kIconSize) {
    image(icon);
}

void IconStatic::draw() {
    if (image() != nullptr) image()->draw(x(), y());
}

// ---- ProgressBar ----

int ProgressBar::SetPos(int pos) {
    int previous = m_nPos;
    m_nPos = std::clamp(pos, 0, 100);
    if (m_nPos != previous) redraw();
    return previous;
}

void ProgressBar::draw() {
    fl_color(FL_BLACK);
    fl_rect(x(), y(), w(), h());
    fl_color(FL_BACKGROUND_COLOR);
    fl_rectf(x() + 1, y() + 1, w() - 2, h() - 2);
    int inner = w() - 4;
    int filled = inner * m_nPos / 100;
    if (filled > 0) {
        fl_color(HighlightColour());
        fl_rectf(x() + 2, y() + 2, filled, h() - 4);
    }
}

// ---- MessageIcon ----

void MessageIcon::draw() {
    int x0 = x(), y0 = y();
    switch (m_nKind) {
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

void MessageIcon::Disc() const {
    fl_color(fl_rgb_color(0, 0, 255));
    fl_pie(x(), y(), kIconSize, kIconSize, 0, 360);
}

void MessageIcon::Glyph(const char* text, Fl_Color colour, int down) const {
    fl_font(FL_TIMES_BOLD, 22);
    fl_color(colour);
    fl_draw(text, x(), y() + down, kIconSize, kIconSize, FL_ALIGN_CENTER, nullptr, 0);
}

}  // namespace fltk_frontend
