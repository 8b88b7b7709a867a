// Whether the extraction library would install a package, judged before anything is deleted
// for it: the library's own reading of the archive, without writing anything.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

namespace kvr {

struct PackageCheck
{
    enum class State {
        Whole,   // the library would install every member
        Missing, // no file of that name, in any case
        Refused, // the library would refuse it, whole or in part
    };
    State state = State::Whole;
    QString problem; // why, in plain words for the player; "" when whole
    // The names the members land under in the target folder, as stored (case as in the package).
    QList<QByteArray> names;
};

// The package at this local path as the library would read it. A package the library would
// install only in part (encrypted members, members declaring sizes it never writes, unknown
// compression) counts as refused. The name is found without regard to case, as the library
// finds it.
PackageCheck checkPackage(const QString& localPath);

// Why the library would not install the package, in plain words; "" when it would.
QString packageProblem(const QString& localPath);

} // namespace kvr
