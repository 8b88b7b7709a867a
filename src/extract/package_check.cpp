#include "extract/package_check.h"

#include "extract/zip_archive.h"
#include "extract/zip_members.h"
#include "extract/zip_names.h"

#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>

namespace kvr {

namespace {

PackageCheck refused(const QString& problem)
{
    return {PackageCheck::State::Refused, problem, {}};
}

// Why the file could not be opened as an archive: it is missing, not a file, or not a ZIP.
PackageCheck unopened(const QString& localPath)
{
    const QFileInfo info(localPath);
    const std::string found = unzip32::findIgnoringCase(QFile::encodeName(info.absolutePath()).toStdString(),
                                                        QFile::encodeName(info.fileName()).toStdString());
    if (!info.exists() && found.empty())
        return {PackageCheck::State::Missing, QStringLiteral("The package does not exist."), {}};
    const QString path =
        info.exists() ? localPath : info.absolutePath() + QLatin1Char('/') + QFile::decodeName(found.c_str());
    struct stat st
    {
    };
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return refused(QStringLiteral("The package cannot be opened."));
    if (!S_ISREG(st.st_mode))
        return refused(QStringLiteral("The package is not a file."));
    return refused(QStringLiteral("The package is not a ZIP archive, or it is damaged."));
}

} // namespace

PackageCheck checkPackage(const QString& localPath)
{
    unzip32::Archive archive;
    switch (archive.open(QFile::encodeName(localPath).toStdString())) {
    case unzip32::Archive::Opened::Yes:
        break;
    case unzip32::Archive::Opened::Unreadable:
        return unopened(localPath);
    case unzip32::Archive::Opened::Overlapping:
        return refused(QStringLiteral("The package's members share their data: it is refused whole."));
    }
    zip_t* zip = archive.zip();
    const zip_int64_t count = zip_get_num_entries(zip, 0);
    PackageCheck whole;
    for (zip_int64_t i = 0; i < count; ++i) {
        const auto member = unzip32::memberEntry(zip, static_cast<zip_uint64_t>(i));
        if (!member)
            return refused(QStringLiteral("An entry of the package cannot be read."));
        const QString name = QString::fromStdString(member->name);
        if (member->encrypted)
            return refused(QStringLiteral("The package's member \"%1\" needs a password.").arg(name));
        if (!member->supported)
            return refused(QStringLiteral("The package's member \"%1\" is packed in an unknown way.").arg(name));
        if (member->size > unzip32::kMaxMemberSize)
            return refused(
                QStringLiteral("The package's member \"%1\" declares a size too large to unpack.").arg(name));
        if (const std::string bare = unzip32::bareName(member->name); !bare.empty())
            whole.names.append(QByteArray::fromStdString(bare));
    }
    return whole;
}

QString packageProblem(const QString& localPath)
{
    return checkPackage(localPath).problem;
}

} // namespace kvr
