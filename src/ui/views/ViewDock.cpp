#include "ViewDock.h"

#include <QAction>
#include <QApplication>
#include <QBuffer>
#include <QClipboard>
#include <QFileInfo>
#include <QImage>
#include <QPainter>
#include <QSaveFile>
#include <QSvgGenerator>
#include <algorithm>

#include "AppSettings.h"
#include "UiHooks.h"

namespace {

QString Tr(const char* utf8) {
  return QString::fromUtf8(utf8);
}

constexpr int kMinRefreshGapMs = 1000 / TViewDock::kMaxRefreshPerSecond;

QImage RenderToImage(TViewDock& dock, const QSize& size) {
  QImage image(size.expandedTo(QSize(1, 1)), QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::white);
  QPainter painter(&image);
  dock.RenderImage(painter, size);
  return image;
}

}  // namespace

TViewDock::TViewDock(const QString& objectName, const QString& title, QWidget* parent)
    : QDockWidget(title, parent) {
  setObjectName(objectName);
  FTimer.setSingleShot(true);
  connect(&FTimer, &QTimer::timeout, this, &TViewDock::RunRefresh);
  FSinceLast.start();
  FSaveImageAction = new QAction(Tr("Сохранить изображение…"), this);
  FSaveImageAction->setObjectName(objectName + QStringLiteral("SaveImage"));
  connect(FSaveImageAction, &QAction::triggered, this,
          [this] { RunGuarded([this] { SaveImage(); }); });
  FCopyImageAction = new QAction(Tr("Копировать изображение"), this);
  FCopyImageAction->setObjectName(objectName + QStringLiteral("CopyImage"));
  connect(FCopyImageAction, &QAction::triggered, this, &TViewDock::CopyImage);
}

void TViewDock::SetContent(QWidget* content) {
  content->setContextMenuPolicy(Qt::ActionsContextMenu);
  content->insertActions(content->actions().isEmpty() ? nullptr : content->actions().first(),
                         {FSaveImageAction, FCopyImageAction});
  setWidget(content);
}

void TViewDock::ScheduleRefresh() {
  FDirty = true;
  if (!isVisible() || FTimer.isActive()) return;
  const qint64 wait = std::max<qint64>(0, kMinRefreshGapMs - FSinceLast.elapsed());
  FTimer.start(static_cast<int>(wait));
}

void TViewDock::FlushRefresh() {
  FTimer.stop();
  RunRefresh();
}

void TViewDock::RunRefresh() {
  FDirty = false;
  FSinceLast.restart();
  ++FRefreshCount;
  RefreshView();
}

void TViewDock::showEvent(QShowEvent* event) {
  QDockWidget::showEvent(event);
  if (FDirty) ScheduleRefresh();
}

QVariant TViewDock::Option(const QString& key, const QVariant& fallback) const {
  return TAppSettings::ViewValue(objectName(), key, fallback);
}

void TViewDock::SetOption(const QString& key, const QVariant& value) {
  TAppSettings::SetViewValue(objectName(), key, value);
}

QSize TViewDock::ImageSize() const {
  const QWidget* content = widget();
  const QSize size = content ? content->size() : QSize();
  return size.isEmpty() ? QSize(640, 480) : size;
}

void TViewDock::RenderImage(QPainter& painter, const QSize& size) {
  if (QWidget* content = widget()) {
    if (content->size() != size) content->resize(size);
    content->render(&painter);
  }
}

bool TViewDock::WriteImage(const QString& fileName) {
  const QSize size = ImageSize();
  QString name = fileName;
  if (QFileInfo(name).suffix().isEmpty()) name += QStringLiteral(".png");
  QSaveFile file(name);
  if (!file.open(QIODevice::WriteOnly)) return false;
  if (QFileInfo(name).suffix().compare(QLatin1String("svg"), Qt::CaseInsensitive) == 0) {
    QSvgGenerator svg;
    svg.setOutputDevice(&file);
    svg.setSize(size);
    svg.setViewBox(QRect(QPoint(0, 0), size));
    svg.setTitle(windowTitle());
    QPainter painter;
    if (!painter.begin(&svg)) return false;
    RenderImage(painter, size);
    painter.end();
  } else if (!RenderToImage(*this, size).save(&file, "PNG")) {
    return false;
  }
  return file.commit();
}

void TViewDock::SaveImage() {
  const QString name =
      PromptFileName(this, TFileDialogKind::Save, Tr("Изображение PNG или SVG|*.png *.svg"),
                     QStringLiteral(".png"));
  if (name.isEmpty()) return;
  if (!WriteImage(name))
    MessageDlg(Tr("Не удалось сохранить изображение в файл %1").arg(name), mtError, mbOK, this);
}

void TViewDock::CopyImage() {
  if (QClipboard* clipboard = QApplication::clipboard())
    clipboard->setImage(RenderToImage(*this, ImageSize()));
}

TPaintStyle PaintStyleOf(const QWidget& widget) {
  TPaintStyle style;
  style.Font = widget.font();
  style.Window = widget.palette().color(QPalette::Window);
  style.Base = widget.palette().color(QPalette::Base);
  style.Text = widget.palette().color(QPalette::WindowText);
  return style;
}
