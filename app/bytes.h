// Names and paths between the engine and the window. The engine keeps them as the bytes the
// file system gave; the window shows them decoded as Qt decodes file names, so a name that is
// not valid in the locale's encoding still goes back to the same bytes when the user acts on it.
// Threads: any.
#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>
#include <string>

inline QString fromBytes(const std::string& bytes) {
  return QFile::decodeName(QByteArray::fromStdString(bytes));
}

inline std::string toBytes(const QString& text) { return QFile::encodeName(text).toStdString(); }
