// The controls that forms are built of. Published (layout) properties are
// listed per class; those of TControl (Controls.h) come with every one.
#pragma once
#include "Controls.h"
#include "EditMask.h"

namespace zf {

// Label: Caption, AutoSize, Transparent, WordWrap, Alignment (taLeftJustify,
// taRightJustify, taCenter), OnClick. A real STATIC window with SS_NOTIFY.
enum class TAlignment : uint8_t { taLeftJustify, taRightJustify, taCenter };
extern const TEnumInfo AlignmentInfo;
class TLabel : public TWinControl {
public:
  explicit TLabel(TComponent* owner);
  static const TClassInfo& StaticClassInfo();
  const TClassInfo& ClassInfo() const override { return StaticClassInfo(); }
  void SetAutoSize(bool a);
  void SetTransparent(bool t);
  void SetWordWrap(bool w);
  void SetAlignment(TAlignment a);
  void SetCaption(const std::string& s) override;

protected:
  void CreateParams(TCreateParams& p) override;
  void CommandNotify(WORD code) override;
  HBRUSH CtlColor(HDC dc) override;
  LRESULT WndProc(UINT msg, WPARAM wp, LPARAM lp) override;
  void FontChanged() override;

private:
  void AdjustSize();
  bool FAutoSize = true, FTransparent = false, FWordWrap = false;
  TAlignment FAlignment = TAlignment::taLeftJustify;
};

// Edit: Text, ReadOnly, MaxLength, CharCase ignored, OnChange.
class TEdit : public TWinControl {
public:
  explicit TEdit(TComponent* owner);
  static const TClassInfo& StaticClassInfo();
  const TClassInfo& ClassInfo() const override { return StaticClassInfo(); }
  bool ReadOnly() const { return FReadOnly; }
  void SetReadOnly(bool r);
  int MaxLength() const { return FMaxLength; }
  void SetMaxLength(int n);
  void Clear() { SetText(""); }
  void SelectAll();
  int SelStart() const;
  void SetSelStart(int p);
  int SelLength() const;
  void SetSelLength(int n);
  TNotifyEvent OnChange;
  void SetOnChange(const TNotifyEvent& e) { OnChange = e; }

protected:
  void CreateParams(TCreateParams& p) override;
  void CreateWnd() override;
  void CommandNotify(WORD code) override;
  HBRUSH CtlColor(HDC dc) override;
  bool FReadOnly = false;
  int FMaxLength = 0;
};

// Masked edit: EditMask, Text (as the program reads it: blanks as spaces),
// MaxLength, ReadOnly, OnChange. The window shows EditText.
class TMaskEdit : public TEdit {
public:
  explicit TMaskEdit(TComponent* owner);
  static const TClassInfo& StaticClassInfo();
  const TClassInfo& ClassInfo() const override { return StaticClassInfo(); }
  const std::string& EditMask() const { return FModel.EditMask(); }
  // Keeps the characters that fit the new mask.
  void SetEditMask(const std::string& m);
  std::string Caption() const override;
  void SetCaption(const std::string& s) override;
  std::string EditText() const { return FModel.EditText(); }
  void Clear();
  const TEditMaskModel& Model() const { return FModel; }

protected:
  void CreateWnd() override;
  LRESULT WndProc(UINT msg, WPARAM wp, LPARAM lp) override;

private:
  void Show(int caret);
  TEditMaskModel FModel;
};

// Combo box: Style (csDropDown editable, csDropDownList list only), Items,
// ItemIndex, Text, DropDownCount, Sorted, OnChange, OnClick.
enum class TComboBoxStyle : uint8_t { csDropDown, csSimple, csDropDownList };
extern const TEnumInfo ComboBoxStyleInfo;
class TComboBox : public TWinControl {
public:
  explicit TComboBox(TComponent* owner);
  ~TComboBox() override;
  static const TClassInfo& StaticClassInfo();
  const TClassInfo& ClassInfo() const override { return StaticClassInfo(); }
  TComboBoxStyle Style() const { return FStyle; }
  void SetStyle(TComboBoxStyle s);
  TStrings& Items();
  int ItemIndex() const;
  void SetItemIndex(int i);
  std::string Caption() const override;
  void SetCaption(const std::string& s) override;
  void SetDropDownCount(int n) { FDropDownCount = n; }
  void SetBounds(int l, int t, int w, int h) override;
  void SetSorted(bool) {}
  void Clear();
  TNotifyEvent OnChange;
  void SetOnChange(const TNotifyEvent& e) { OnChange = e; }
  void Loaded() override;

protected:
  void CreateParams(TCreateParams& p) override;
  void CreateWnd() override;
  void DestroyWnd() override;
  void CommandNotify(WORD code) override;
  HBRUSH CtlColor(HDC dc) override;

private:
  class TItems;
  std::unique_ptr<TItems> FItems;
  TComboBoxStyle FStyle = TComboBoxStyle::csDropDown;
  int FItemIndex = -1;
  int FDropDownCount = 8;
  friend class TItems;
};

// Check box: Caption, Checked, Alignment ignored, OnClick (also when Checked is set).
class TCheckBox : public TWinControl {
public:
  explicit TCheckBox(TComponent* owner);
  static const TClassInfo& StaticClassInfo();
  const TClassInfo& ClassInfo() const override { return StaticClassInfo(); }
  bool Checked() const;
  void SetChecked(bool c);

protected:
  void CreateParams(TCreateParams& p) override;
  void CreateWnd() override;
  void DestroyWnd() override;
  void CommandNotify(WORD code) override;

private:
  bool FChecked = false;
};

// Group box: Caption. Its children sit inside its window.
class TGroupBox : public TWinControl {
public:
  explicit TGroupBox(TComponent* owner);
  static const TClassInfo& StaticClassInfo();
  const TClassInfo& ClassInfo() const override { return StaticClassInfo(); }

protected:
  void CreateParams(TCreateParams& p) override;
  LRESULT WndProc(UINT msg, WPARAM wp, LPARAM lp) override;
};

// Radio group: Caption, Items, ItemIndex, Columns, OnClick, OnExit (when the
// focus leaves the group for a control outside it). One radio button per item.
class TRadioGroup : public TGroupBox {
public:
  explicit TRadioGroup(TComponent* owner);
  ~TRadioGroup() override;
  static const TClassInfo& StaticClassInfo();
  const TClassInfo& ClassInfo() const override { return StaticClassInfo(); }
  TStrings& Items();
  int ItemIndex() const { return FItemIndex; }
  void SetItemIndex(int i);
  void SetColumns(int c);
  int Columns() const { return FColumns; }
  // The radio button window of an item (for tests and focus).
  HWND ButtonHandle(int i) const;
  void SetFocus() override;
  void SetBounds(int l, int t, int w, int h) override;
  void Loaded() override;

protected:
  void CreateWnd() override;
  void DestroyWnd() override;
  LRESULT WndProc(UINT msg, WPARAM wp, LPARAM lp) override;

private:
  void RebuildButtons();
  void ArrangeButtons();
  void ButtonClicked(int i);
  std::unique_ptr<TStringList> FItems;
  std::vector<HWND> FButtons;
  int FItemIndex = -1;
  int FColumns = 1;
  friend LRESULT CALLBACK RadioButtonProc(HWND, UINT, WPARAM, LPARAM);
};

// Panel: Caption, BevelOuter/BevelInner (bvNone, bvLowered, bvRaised, bvSpace), Color.
enum class TPanelBevel : uint8_t { bvNone, bvLowered, bvRaised, bvSpace };
extern const TEnumInfo PanelBevelInfo;
class TPanel : public TWinControl {
public:
  explicit TPanel(TComponent* owner);
  static const TClassInfo& StaticClassInfo();
  const TClassInfo& ClassInfo() const override { return StaticClassInfo(); }
  void SetBevelOuter(TPanelBevel b);
  void SetBevelInner(TPanelBevel b);

protected:
  void CreateParams(TCreateParams& p) override;
  LRESULT WndProc(UINT msg, WPARAM wp, LPARAM lp) override;

private:
  TPanelBevel FBevelOuter = TPanelBevel::bvRaised, FBevelInner = TPanelBevel::bvNone;
};

// Rich edit (riched20): Lines, ReadOnly, ScrollBars (ssNone, ssHorizontal,
// ssVertical, ssBoth), WordWrap, Text. Lines.Add appends a line.
enum class TScrollStyle : uint8_t { ssNone, ssHorizontal, ssVertical, ssBoth };
extern const TEnumInfo ScrollStyleInfo;
class TRichEdit : public TWinControl {
public:
  explicit TRichEdit(TComponent* owner);
  ~TRichEdit() override;
  static const TClassInfo& StaticClassInfo();
  const TClassInfo& ClassInfo() const override { return StaticClassInfo(); }
  TStrings& Lines();
  bool ReadOnly() const { return FReadOnly; }
  void SetReadOnly(bool r);
  void SetScrollBars(TScrollStyle s);
  void SetWordWrap(bool w);
  std::string Caption() const override;
  void SetCaption(const std::string& s) override;
  void Clear();

protected:
  void CreateParams(TCreateParams& p) override;
  void CreateWnd() override;
  void DestroyWnd() override;

private:
  class TLines;
  std::unique_ptr<TLines> FLines;
  bool FReadOnly = false, FWordWrap = true;
  TScrollStyle FScrollBars = TScrollStyle::ssNone;
  friend class TLines;
};

// Bitmap button: Caption (& marks the accelerator), Default (Enter on the
// form presses it), Cancel (Escape), ModalResult ignored, OnClick; Click() presses it.
class TBitBtn : public TWinControl {
public:
  explicit TBitBtn(TComponent* owner);
  static const TClassInfo& StaticClassInfo();
  const TClassInfo& ClassInfo() const override { return StaticClassInfo(); }
  bool Default() const { return FDefault; }
  void SetDefault(bool d);
  bool Cancel() const { return FCancel; }
  void SetCancel(bool c) { FCancel = c; }
  void Click() override;

protected:
  void CreateParams(TCreateParams& p) override;
  void CommandNotify(WORD code) override;

private:
  bool FDefault = false, FCancel = false;
};
using TButton = TBitBtn;

// Image: Picture (Picture.Data, Picture.Resource), Stretch, Center, Proportional,
// Transparent, AutoSize. Draws its picture in its own window.
class TImage : public TWinControl {
public:
  explicit TImage(TComponent* owner);
  ~TImage() override;
  static const TClassInfo& StaticClassInfo();
  const TClassInfo& ClassInfo() const override { return StaticClassInfo(); }
  TPicture& Picture() { return *FPicture; }
  void SetStretch(bool s);
  void SetCenter(bool c);
  void SetProportional(bool p);
  void SetTransparent(bool t);
  void SetAutoSize(bool a);
  // The rectangle the picture is drawn into.
  TRect DestRect() const;

protected:
  void CreateParams(TCreateParams& p) override;
  LRESULT WndProc(UINT msg, WPARAM wp, LPARAM lp) override;

private:
  void PictureChanged();
  std::unique_ptr<TPicture> FPicture;
  bool FStretch = false, FCenter = false, FProportional = false, FTransparent = false, FAutoSize = false;
};

// Page control: Style (tsTabs, tsButtons, tsFlatButtons), ActivePage (a tab
// sheet's name), TabIndex; tab sheets are its children in creation order.
enum class TTabStyle : uint8_t { tsTabs, tsButtons, tsFlatButtons };
extern const TEnumInfo TabStyleInfo;
class TTabSheet;
class TPageControl : public TWinControl {
public:
  explicit TPageControl(TComponent* owner);
  static const TClassInfo& StaticClassInfo();
  const TClassInfo& ClassInfo() const override { return StaticClassInfo(); }
  int PageCount() const { return static_cast<int>(FPages.size()); }
  TTabSheet* Pages(int i) const { return FPages.at(static_cast<size_t>(i)); }
  TTabSheet* ActivePage() const { return FActive; }
  void SetActivePage(TTabSheet* p);
  int ActivePageIndex() const;
  void SetActivePageIndex(int i);
  void SetStyle(TTabStyle s);
  TTabStyle Style() const { return FStyle; }
  TNotifyEvent OnChange;
  void SetOnChange(const TNotifyEvent& e) { OnChange = e; }
  void Loaded() override;
  // The area the sheets fill, in the control's client coordinates.
  TRect DisplayRect() const;

protected:
  void CreateParams(TCreateParams& p) override;
  void CreateWnd() override;
  LRESULT NotifyNotify(NMHDR& n) override;
  LRESULT WndProc(UINT msg, WPARAM wp, LPARAM lp) override;

private:
  void AddPage(TTabSheet* p);
  void RemovePage(TTabSheet* p);
  void PageCaptionChanged(TTabSheet* p);
  void ShowActive();
  std::vector<TTabSheet*> FPages;
  TTabSheet* FActive = nullptr;
  std::string FActiveName;
  TTabStyle FStyle = TTabStyle::tsTabs;
  friend class TTabSheet;
};

// Tab sheet: Caption (the tab's text), TabVisible ignored.
class TTabSheet : public TWinControl {
public:
  explicit TTabSheet(TComponent* owner);
  ~TTabSheet() override;
  static const TClassInfo& StaticClassInfo();
  const TClassInfo& ClassInfo() const override { return StaticClassInfo(); }
  TPageControl* PageControl() const { return FPageControl; }
  void SetParent(TWinControl* p) override;
  void SetCaption(const std::string& s) override;
  int PageIndex() const;

protected:
  void CreateParams(TCreateParams& p) override;
  LRESULT WndProc(UINT msg, WPARAM wp, LPARAM lp) override;

private:
  TPageControl* FPageControl = nullptr;
  friend class TPageControl;
};

// Registers the classes above (and the form classes) for layouts; idempotent.
void RegisterStdControls();

}  // namespace zf
