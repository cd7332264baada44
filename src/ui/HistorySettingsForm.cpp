#include "HistorySettingsForm.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QDoubleSpinBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTableWidget>
#include <QVBoxLayout>

#include "DeviceList.h"
#include "Dialogs.h"
#include "UiHooks.h"

namespace {

QString Tr(const char* utf8) {
  return QString::fromUtf8(utf8);
}

QString LimitText(const std::optional<double>& v) {
  return v ? QString::number(*v) : QString();
}

// An empty cell: the line's default; otherwise a number (comma or point).
std::optional<double> LimitOf(const QTableWidgetItem* item) {
  if (!item) return std::nullopt;
  QString text = item->text().trimmed();
  text.replace(QLatin1Char(','), QLatin1Char('.'));
  bool ok = false;
  const double v = text.toDouble(&ok);
  return ok ? std::optional<double>(v) : std::nullopt;
}

}  // namespace

THistorySettingsForm::THistorySettingsForm(const THistorySettings& settings,
                                           const QString& defaultFile, const TDeviceList& devices,
                                           bool limitsAvailable, QWidget* parent)
    : QDialog(parent), FLimits(settings.Limits) {
  setObjectName(QStringLiteral("THistorySettingsForm"));
  setWindowTitle(Tr("История"));
  auto* layout = new QVBoxLayout(this);

  auto* recording = new QGroupBox(Tr("Запись опроса"), this);
  auto* rf = new QFormLayout(recording);
  chbRecord = new QCheckBox(Tr("Записывать показания в базу истории"), recording);
  chbRecord->setObjectName(QStringLiteral("chbRecord"));
  chbRecord->setChecked(settings.Enabled);
  rf->addRow(chbRecord);
  auto* fileRow = new QHBoxLayout;
  eFile = new QLineEdit(settings.File, recording);
  eFile->setObjectName(QStringLiteral("eFile"));
  eFile->setPlaceholderText(defaultFile);
  eFile->setMinimumWidth(320);
  auto* browse = new QPushButton(Tr("Обзор…"), recording);
  browse->setObjectName(QStringLiteral("btnBrowse"));
  fileRow->addWidget(eFile, 1);
  fileRow->addWidget(browse);
  rf->addRow(Tr("Файл:"), fileRow);
  seInterval = new QSpinBox(recording);
  seInterval->setObjectName(QStringLiteral("seInterval"));
  seInterval->setRange(0, 86400);
  seInterval->setSuffix(Tr(" с"));
  seInterval->setSpecialValueText(Tr("каждый цикл"));
  seInterval->setValue(settings.IntervalSeconds);
  rf->addRow(Tr("Записывать не чаще, чем раз в:"), seInterval);
  seRetention = new QSpinBox(recording);
  seRetention->setObjectName(QStringLiteral("seRetention"));
  seRetention->setRange(1, 36500);
  seRetention->setSuffix(Tr(" сут"));
  seRetention->setValue(settings.RetentionDays);
  rf->addRow(Tr("Хранить показания:"), seRetention);
  layout->addWidget(recording);

  auto* alarms = new QGroupBox(Tr("Тревоги (для всей линии)"), this);
  alarms->setObjectName(QStringLiteral("gbAlarms"));
  auto* af = new QFormLayout(alarms);
  const auto limitRow = [&](QCheckBox*& check, QDoubleSpinBox*& spin, const char* name,
                            const char* caption, const char* suffix, double low, double high,
                            const std::optional<double>& value) {
    auto* row = new QHBoxLayout;
    check = new QCheckBox(Tr(caption), alarms);
    check->setObjectName(QStringLiteral("chb") + QLatin1String(name));
    spin = new QDoubleSpinBox(alarms);
    spin->setObjectName(QStringLiteral("ds") + QLatin1String(name));
    spin->setRange(low, high);
    spin->setDecimals(1);
    spin->setSuffix(Tr(suffix));
    check->setChecked(value.has_value());
    spin->setValue(value.value_or(spin->value()));
    spin->setEnabled(value.has_value());
    connect(check, &QCheckBox::toggled, spin, &QWidget::setEnabled);
    row->addWidget(check);
    row->addWidget(spin, 1);
    af->addRow(row);
  };
  limitRow(chbUpper, dsUpper, "Upper", "Верхний предел температуры", " °C", -50, 150,
           settings.Limits.Line.Upper);
  if (!settings.Limits.Line.Upper) dsUpper->setValue(35);
  limitRow(chbRise, dsRise, "Rise", "Рост температуры более", " °C/сут", 0.1, 100,
           settings.Limits.Line.RisePerDay);
  if (!settings.Limits.Line.RisePerDay) dsRise->setValue(2);
  seWindow = new QSpinBox(alarms);
  seWindow->setObjectName(QStringLiteral("seWindow"));
  seWindow->setRange(1, 24 * 14);
  seWindow->setSuffix(Tr(" ч"));
  seWindow->setValue(settings.Limits.RiseWindowHours);
  af->addRow(Tr("Рост считается за последние:"), seWindow);
  dsHysteresis = new QDoubleSpinBox(alarms);
  dsHysteresis->setObjectName(QStringLiteral("dsHysteresis"));
  dsHysteresis->setRange(0, 20);
  dsHysteresis->setDecimals(1);
  dsHysteresis->setValue(settings.Limits.Hysteresis);
  af->addRow(Tr("Гистерезис (°C, °C/сут):"), dsHysteresis);
  // Per listed device: an empty cell takes the line's limit.
  sgLimits = new QTableWidget(devices.Count(), 4, alarms);
  sgLimits->setObjectName(QStringLiteral("sgLimits"));
  sgLimits->setHorizontalHeaderLabels(
      {Tr("Прибор"), Tr("Зав. №"), Tr("Предел, °C"), Tr("Рост, °C/сут")});
  sgLimits->verticalHeader()->hide();
  sgLimits->horizontalHeader()->setStretchLastSection(true);
  for (int i = 0; i < devices.Count(); ++i) {
    const TDevice& d = *devices[i];
    auto* name = new QTableWidgetItem(QString::fromStdString(d.Name()));
    auto* plant = new QTableWidgetItem(QString::number(d.PlantNumber()));
    for (QTableWidgetItem* item : {name, plant}) item->setFlags(item->flags() & ~Qt::ItemIsEditable);
    sgLimits->setItem(i, 0, name);
    sgLimits->setItem(i, 1, plant);
    const auto own = settings.Limits.Devices.find(d.PlantNumber());
    const TAlarmLimit limit = own == settings.Limits.Devices.end() ? TAlarmLimit{} : own->second;
    sgLimits->setItem(i, 2, new QTableWidgetItem(LimitText(limit.Upper)));
    sgLimits->setItem(i, 3, new QTableWidgetItem(LimitText(limit.RisePerDay)));
  }
  sgLimits->setMinimumHeight(120);
  af->addRow(new QLabel(Tr("Свои пределы приборов (пусто — как для линии):"), alarms));
  af->addRow(sgLimits);
  alarms->setEnabled(limitsAvailable);
  if (!limitsAvailable)
    alarms->setToolTip(Tr("Пределы тревог хранятся в базе истории: включите запись"));
  layout->addWidget(alarms);

  layout->addWidget(MakeOkCancelButtons(*this));
  connect(browse, &QPushButton::clicked, this, [this] {
    const QString name = PromptFileName(this, TFileDialogKind::Save,
                                        Tr("База истории|*.db"), QStringLiteral(".db"));
    if (!name.isEmpty()) eFile->setText(name);
  });
}

THistorySettings THistorySettingsForm::Settings() const {
  THistorySettings s;
  s.Enabled = chbRecord->isChecked();
  s.File = eFile->text().trimmed();
  s.IntervalSeconds = seInterval->value();
  s.RetentionDays = seRetention->value();
  s.Limits = FLimits;
  s.Limits.Line.Upper = chbUpper->isChecked() ? std::optional<double>(dsUpper->value()) : std::nullopt;
  s.Limits.Line.RisePerDay =
      chbRise->isChecked() ? std::optional<double>(dsRise->value()) : std::nullopt;
  s.Limits.RiseWindowHours = seWindow->value();
  s.Limits.Hysteresis = dsHysteresis->value();
  for (int r = 0; r < sgLimits->rowCount(); ++r) {
    const auto plant = static_cast<std::uint16_t>(sgLimits->item(r, 1)->text().toUInt());
    TAlarmLimit limit{LimitOf(sgLimits->item(r, 2)), LimitOf(sgLimits->item(r, 3))};
    if (limit.Upper || limit.RisePerDay)
      s.Limits.Devices[plant] = limit;
    else
      s.Limits.Devices.erase(plant);
  }
  return s;
}
