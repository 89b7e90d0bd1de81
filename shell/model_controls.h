// The state of the controls the shell's windows show, held as plain values
// so that the shell runs without a display: a GUI binds widgets to these,
// service mode and tests set them directly. No behaviour beyond keeping a
// value inside its range, as the widget would.
//
// Members carry the controls' names. The translatable ones are known to
// language files and windows as "_" + that name (ControlName() in
// localisation/caption_keys.h): the underscore stays in the data, since an
// identifier that begins with an underscore and a capital is reserved.
//
// Thread rule: plain values, owned by the form; main thread only.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace korvan {

struct CheckBox {
  bool checked = false;
  bool enabled = true;
};

struct EditBox {
  std::string text;
  bool enabled = true;
  bool visible = true;
};

// A number field that clamps what it is given into [min, max].
class SpinEdit {
 public:
  SpinEdit(int min, int max, int initial) : min_(min), max_(max), value_(std::clamp(initial, min, max)) {}
  int value() const { return value_; }
  void set_value(int value) { value_ = std::clamp(value, min_, max_); }
  int min() const { return min_; }
  int max() const { return max_; }
  bool enabled = true;
  bool visible = true;

 private:
  int min_;
  int max_;
  int value_;
};

// The image-compression and time-out sliders: 0..15 in steps of 1.
using Slider = SpinEdit;

// A drop-down list; index -1 selects nothing.
struct ComboBox {
  std::vector<std::string> items;
  int index = -1;
  bool enabled = true;
  void select(int i) { index = (i >= 0 && i < static_cast<int>(items.size())) ? i : -1; }
};

struct Button {
  std::string text;
  bool enabled = true;
};

struct ProgressGauge {
  std::int64_t position = 0;
  std::int64_t max = 0;
};

}  // namespace korvan
