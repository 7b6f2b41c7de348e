// The window tests run without a display: on Qt's offscreen platform, unless the
// environment asks for another one. What the window remembers between runs goes to a
// scratch configuration home, never the developer's own ~/.config.
#include <gtest/gtest.h>

#include <QApplication>

#include "support/temp_dir.h"

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  // Set before Qt starts: its own settings (the file dialog's) go there as well.
  const vql::testing::TempDir configHome;
  qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString(configHome.Path().string()));
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
