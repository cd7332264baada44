// The calibration dialog: the two calibration points of one device, code and
// level each (C1 with H1, the unmeasurable level; C2 with H2). Run it through
// ExecDialog; "Применить" closes it with mrOk, "Отмена" with mrCancel.
#pragma once

#include <QDialog>
#include <cstdint>

class QLabel;
class QLineEdit;
class QPushButton;

class TCalibrationForm : public QDialog {
  Q_OBJECT
 public:
  // The four values in the order C1, C2, H1, H2, each shown as an unsigned
  // 16-bit decimal number.
  TCalibrationForm(QWidget* owner, std::uint16_t c1, std::uint16_t c2, std::uint16_t h1,
                   std::uint16_t h2);

  // The edits' texts as integers: 0 when a text is not a whole decimal number,
  // otherwise its low 16 bits.
  std::uint16_t C1() const;
  std::uint16_t C2() const;
  std::uint16_t H1() const;
  std::uint16_t H2() const;

  // The key filter of eC1: backspace, "." and the digits 0 to 9 pass; any
  // other typed character is discarded (returns 0).
  static QChar editKeyPress(QChar key);
  // The edit texts' conversion of the getters.
  static std::uint16_t ValueOf(const QString& text);

  QLabel* lC1;
  QLineEdit* eC1;
  QLabel* lH1;
  QLineEdit* eH1;
  QLabel* lC2;
  QLineEdit* eC2;
  QLabel* lH2;
  QLineEdit* eH2;
  QPushButton* btnApply;
  QPushButton* btnCancel;

 protected:
  void showEvent(QShowEvent* event) override;
};
