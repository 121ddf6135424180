#pragma once

#include <QByteArray>
#include <QString>

QByteArray readAll(const QString &path);
void writeAll(const QString &path, const QByteArray &bytes);
/// Number of this process's open descriptors that refer to path.
int openDescriptorsFor(const QString &path);
/// Number of this process's open descriptors.
int openDescriptorCount();

#include <functional>

/// Runs the event loop (without the sleeps QTRY_* puts between its rounds)
/// until done() holds or timeoutMs passes; returns done().
bool spinUntil(const std::function<bool()> &done, int timeoutMs);
