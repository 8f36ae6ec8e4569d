// The FLTK widgets that dialog windows and message boxes are built from, drawn as the window
// system draws its controls, and the fonts, text labels and icon images they use.
// Quirks: every button style is drawn as a push button; progress bars are always smooth; an
// SS_ICON static shows its icon at the icon's own size, whatever the control's.
#pragma once

#include <FL/Fl_Box.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_RGB_Image.H>
#include <FL/Fl_Widget.H>

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "platform/win32api.h"

namespace fltk_frontend {

constexpr UINT kMbIconQuestion = 0x00000020;
constexpr int kIconSize = 32;
constexpr int kSmallIconSize = 16;
// Text drawn without FLTK's "@" symbols, so that any text shows as given.
constexpr Fl_Labeltype kTextLabel = FL_FREE_LABELTYPE;

// Makes kTextLabel known to FLTK; once before any widget uses it.
void RegisterTextLabel();
// A widget's label as kTextLabel in the given font.
void UseTextLabel(Fl_Widget& widget, Fl_Font font, int size);
// The font of a template's face (registered with FLTK on first use), and a size in points as
// pixels on the screen.
Fl_Font FontForFace(const char* face);
int PointsToPixels(int points);

// An icon resource as FLTK images: the pixel buffers live as long as the images.
struct IconImages {
    std::vector<unsigned char> bigPixels;
    std::vector<unsigned char> smallPixels;
    std::unique_ptr<Fl_RGB_Image> big;
    std::unique_ptr<Fl_RGB_Image> small;
};

// The icons a front end has loaded; a handle is the address of its images.
class IconCache {
  public:
    // Null when there is no 32 × 32 icon of that id.
    HICON Load(int iconId);
    // The images behind a handle that Load gave; null for any other value.
    IconImages* Find(HICON icon) const;

  private:
    std::map<int, std::unique_ptr<IconImages>> m_icons;
};

// A window that gives the focus back to the control that last had it.
class FocusKeeper {
  public:
    virtual void RememberFocus(Fl_Widget* widget) = 0;

  protected:
    ~FocusKeeper() = default;
};

// A push button: the default button (the focused push button, else the template's default)
// carries a black frame.
class PushButton : public Fl_Button {
  public:
    PushButton(int x, int y, int w, int h, int id, bool templateDefault);

    int id() const { return m_nId; }
    bool templateDefault() const { return m_bTemplateDefault; }
    bool LooksDefault() const;

    int handle(int event) override;
    void draw() override;

  private:
    int m_nId;
    bool m_bTemplateDefault;
};

// A text static: the label, aligned at the top of the control.
class TextStatic : public Fl_Box {
  public:
    TextStatic(int x, int y, int w, int h, uint32_t style);
};

// An SS_ICON static.
class IconStatic : public Fl_Widget {
  public:
    IconStatic(int x, int y, Fl_RGB_Image* icon);
    void draw() override;
};

// A smooth progress bar with a thin black border, on a 0 to 100 range.
class ProgressBar : public Fl_Widget {
  public:
    ProgressBar(int x, int y, int w, int h) : Fl_Widget(x, y, w, h) {}

    // Returns the previous position; the new one is held inside the range.
    int SetPos(int pos);
    void draw() override;

  private:
    int m_nPos = 0;
};

// The picture of a message box's icon style (MB_ICONINFORMATION and the rest).
class MessageIcon : public Fl_Widget {
  public:
    MessageIcon(int x, int y, UINT kind) : Fl_Widget(x, y, kIconSize, kIconSize), m_nKind(kind) {}
    void draw() override;

  private:
    void Disc() const;
    void Glyph(const char* text, Fl_Color colour, int down) const;

    UINT m_nKind;
};

}  // namespace fltk_frontend
