#include "gui/AboutWindow.h"

#include <QCloseEvent>
#include <QGroupBox>
#include <QGuiApplication>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <iterator>
#include <vector>
#include <QFontInfo>

#include "app/AppState.h"
#include "app/Log.h"
#include "gui/Actions.h"
#include "gui/GuiIcons.h"
#include "gui/WindowUtil.h"

namespace fk::gui {

namespace {
constexpr int kAboutSize = 400;
}

QString AboutHowToText() {
  const char* lines[] = {
      "\tHOW-TO create a Clover Bootable Flash drive",
      "\t\twith MAC OS X Recovery HD:",
      "",
      "1. Fine-tune the FKL [Configuration] (By default, not required).",
      "2. Select any Flash Drive (may be tested on virtual or hard drives, too).",
      "3. [Format] selected Flash Drive into 2 partitions:",
      "    Clover bootloader will be automatically installed to the 1st Partition.",
      "4. Open [Download Center], [Update] Recovery HD Download List",
      "    and [DL] any Apple MAC OS X Recovery HD. HFS-Image will be",
      "    automatically extracted from pkg to the FKLImage Local Repo.",
      "5. [Restore ...] HFS-Image file to the 2nd Disk Partition",
      "6. Enjoy :-)",
  };
  QString text;
  for (size_t i = 0; i < std::size(lines); ++i) {
    if (i) text += QStringLiteral("\r\n");
    text += QString::fromLatin1(lines[i]);
  }
  return text;
}

AboutWindow::AboutWindow(QWidget* mainWindow, std::function<bool(const std::string&)> openUrl)
    : QWidget(nullptr), main_(mainWindow), openUrl_(std::move(openUrl)) {
  setObjectName(QStringLiteral("Window_About"));
  setAttribute(Qt::WA_DeleteOnClose);
  setWindowTitle(QStringLiteral("About"));
  setWindowIcon(ApplicationIcon());
  setFixedSize(kAboutSize, kAboutSize);
  if (QScreen* s = QGuiApplication::primaryScreen()) {
    const QRect g = s->geometry();
    move(g.x() + (g.width() - kAboutSize) / 2, g.y() + (g.height() - kAboutSize) / 2);
  }
  const int h = kAboutSize;

  auto* image = new QLabel(this);
  image->setObjectName(QStringLiteral("Image_About"));
  image->setGeometry(60, 25, 96, 96);
  image->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  image->setPixmap(Emblem());

  struct Link {
    const char* name;
    const char* text;
    QRect geometry;
    const char* url;
  };
  const Link links[] = {
      {"HyperLink_Clover", "- Clover source -", {30, 110, 80, 15}, kCloverSource},
      {"Hyperlink_Quillboard", "- Russian Clover discussion -", {30, 130, 140, 15}, kCloverForum},
      {"HyperLink_CloverWiKi", "- Clover WiKi -", {30, 150, 80, 15}, kCloverWiki},
  };
  std::vector<LinkLabel*> linkLabels;
  for (const Link& l : links) {
    auto* label = new LinkLabel(QString::fromLatin1(l.text), this);
    linkLabels.push_back(label);
    label->setObjectName(QString::fromLatin1(l.name));
    label->setGeometry(l.geometry);
    FitLabelFont(label);
    const std::string name = l.name, url = l.url;
    connect(label, &LinkLabel::clicked, this, [this, name, url] {
      Log("> MouseOver #" + name);
      if (openUrl_) openUrl_(url);
    });
  }

  // The three links share the font of the one that needed the smallest.
  QFont linkFont = linkLabels.front()->font();
  for (LinkLabel* l : linkLabels)
    if (QFontInfo(l->font()).pixelSize() < QFontInfo(linkFont).pixelSize()) linkFont = l->font();
  for (LinkLabel* l : linkLabels) l->setFont(linkFont);

  auto* about = new QLabel(QString::fromStdString(AboutText()).remove(QLatin1Char('\r')), this);
  about->setObjectName(QStringLiteral("Text_About"));
  about->setGeometry(210, 15, 125, 75);
  about->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
  about->setWordWrap(true);
  FitLabelFont(about);

  auto* intro = new QLabel(QStringLiteral("Flashkeel is intended to make a external bootable USB Flash Disk by "
                                          "installing to it special Data set (MBR, PBR sectors and Data files) "
                                          "of EFI-based Clover bootloader."),
                           this);
  intro->setObjectName(QStringLiteral("Text_Intro"));
  intro->setGeometry(190, 115, 175, 70);
  intro->setWordWrap(true);
  intro->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  FitLabelFont(intro);

  auto* frame = new QGroupBox(this);
  frame->setObjectName(QStringLiteral("Frame_HowTo"));
  frame->setGeometry(5, 185, 390, h - 220);

  // QLabel breaks lines at LF; the text itself keeps its CR LF separators.
  auto* howto = new QLabel(this);
  howto->setObjectName(QStringLiteral("Text_HowTo"));
  howto->setGeometry(30, 200, 360, h - 220);
  howto->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  howto->setTextFormat(Qt::PlainText);
  howto->setText(QString(AboutHowToText()).remove(QLatin1Char('\r')));
  FitLabelFont(howto);

  auto* ok = new QPushButton(QStringLiteral("OK"), this);
  ok->setObjectName(QStringLiteral("Button_About_OK"));
  ok->setGeometry(108, h - 26, 183, 20);
  connect(ok, &QPushButton::clicked, this, [this] { close(); });
}

void AboutWindow::closeEvent(QCloseEvent* e) {
  if (main_) {
    main_->setEnabled(true);
    main_->activateWindow();
    main_->raise();
  }
  QWidget::closeEvent(e);
}

}  // namespace fk::gui
