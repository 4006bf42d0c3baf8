#include "gui/language.h"

#include <QApplication>
#include <QFont>
#include <QLibraryInfo>
#include <QTranslator>
#include <cstdio>
#include <memory>

namespace gui {

namespace {
int Known(int languageIndex) { return languageIndex == 1 || languageIndex == 2 ? languageIndex : 0; }
}  // namespace

QLocale LanguageLocale(int languageIndex) {
  switch (Known(languageIndex)) {
    case 1: return QLocale(QLocale::Chinese, QLocale::TraditionalChineseScript, QLocale::Taiwan);
    case 2: return QLocale(QLocale::Chinese, QLocale::SimplifiedChineseScript, QLocale::China);
    default: return QLocale(QLocale::English, QLocale::UnitedStates);
  }
}

QStringList FontFamilies(int languageIndex) {
  // The CJK faces carry Latin letters too; the Traditional face goes first
  // for Traditional Chinese, the Simplified one otherwise.
  QStringList cjk{"Noto Sans CJK SC", "Noto Sans CJK TC"};
  if (Known(languageIndex) == 1) cjk.swapItemsAt(0, 1);
  return cjk + QStringList{"Noto Sans", "DejaVu Sans"};
}

bool UseLanguage(int languageIndex) {
  static std::unique_ptr<QTranslator> installed;
  static int current = -1;
  static bool warned = false;
  languageIndex = Known(languageIndex);
  if (languageIndex == current) return false;
  current = languageIndex;

  if (installed) QCoreApplication::removeTranslator(installed.get());
  installed.reset();
  const QLocale locale = LanguageLocale(languageIndex);
  if (languageIndex != 0) {
    const QString folder = QLibraryInfo::path(QLibraryInfo::TranslationsPath);
    auto translator = std::make_unique<QTranslator>();
    if (translator->load(locale, "qtbase", "_", folder)) {
      QCoreApplication::installTranslator(translator.get());
      installed = std::move(translator);
    } else if (!warned) {
      warned = true;
      std::fprintf(stderr, "station: Qt's own texts stay English: no qtbase_%s.qm in %s\n",
                   locale.name().toUtf8().constData(), folder.toUtf8().constData());
    }
  }
  QLocale::setDefault(locale);
  QFont font = QApplication::font();
  font.setFamilies(FontFamilies(languageIndex));
  font.setPointSize(9);
  QApplication::setFont(font);
  return true;
}

QString DateTimeText(const QLocale& locale, const QDateTime& when) {
  QString time = locale.timeFormat(QLocale::ShortFormat);
  if (time.contains('B')) time = "HH:mm";  // a day period that Qt writes as the letter itself
  return locale.toString(when.date(), QLocale::ShortFormat) + ' ' + locale.toString(when.time(), time);
}

}  // namespace gui
