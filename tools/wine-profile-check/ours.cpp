// Puts the questions of a command file (see probe.c) to our own reader and writer and prints the
// answers in probe.exe's format, so the two outputs can be compared line by line.
//
// Values come back as the program sees them (text); they are printed in Windows-1252 where
// possible, as the platform's ANSI functions hand them out, and in UTF-8 otherwise.
#include "app/textcodec.h"
#include "settings/profile.h"

#include <QByteArray>
#include <QFile>
#include <QString>

#include <cstdio>

namespace {

QByteArray unescape(const QByteArray& in)
{
    QByteArray out;
    for (qsizetype i = 0; i < in.size();) {
        if (in[i] != '\\' || i + 1 == in.size()) {
            out += in[i++];
        } else if (in[i + 1] == '-') {
            i += 2;
        } else if (in[i + 1] == 'x' && i + 3 < in.size()) {
            out += char(in.mid(i + 2, 2).toInt(nullptr, 16));
            i += 4;
        } else if (in[i + 1] == '{') {
            qsizetype j = i + 2;
            while (j < in.size() && in[j] >= '0' && in[j] <= '9')
                ++j;
            out += QByteArray(in.mid(i + 2, j - i - 2).toInt(), in[j]);
            i = j + 2;
        } else {
            const char c = in[i + 1];
            out += c == 'r' ? '\r' : c == 'n' ? '\n' : c == 't' ? '\t' : c;
            i += 2;
        }
    }
    return out;
}

QByteArray escaped(const QByteArray& bytes)
{
    QByteArray out = "\"";
    for (char ch : bytes) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '\r')
            out += "\\r";
        else if (c == '\n')
            out += "\\n";
        else if (c == '\t')
            out += "\\t";
        else if (c == '"' || c == '\\')
            out += QByteArray("\\") + char(c);
        else if (c < 0x20 || c >= 0x7F)
            out += QByteArray("\\x") + QByteArray::number(c, 16).toUpper().rightJustified(2, '0');
        else
            out += char(c);
    }
    return out + '"';
}

// The platform's ANSI functions take their strings in the ANSI code page.
QString text(const QByteArray& bytes)
{
    return kvr::decodeText(bytes).text;
}

QByteArray ansi(const QString& s)
{
    QByteArray out;
    return kvr::encodeWindows1252(s, out) ? out : s.toUtf8();
}

// A C string ends at its first zero byte, as in the platform's functions.
QByteArray cString(const QByteArray& bytes)
{
    const qsizetype zero = bytes.indexOf('\0');
    return zero < 0 ? bytes : bytes.first(zero);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: ours <command file>\n");
        return 2;
    }
    QFile in(QString::fromLocal8Bit(argv[1]));
    if (!in.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "cannot open %s\n", argv[1]);
        return 2;
    }
    while (!in.atEnd()) {
        QByteArray line = in.readLine();
        while (line.endsWith('\n') || line.endsWith('\r'))
            line.chop(1);
        if (line.isEmpty() || line.startsWith('#'))
            continue;
        const QList<QByteArray> raw = line.split('\t');
        QList<QByteArray> f;
        for (const QByteArray& field : raw)
            f.append(unescape(field));
        const QByteArray& command = raw[0];
        QByteArray out;

        if (command == "note" && f.size() >= 2) {
            out = "\n## " + f[1];
        } else if (command == "file" && (f.size() == 2 || f.size() == 3)) {
            QFile file(QString::fromUtf8(f[1]));
            const QByteArray bytes = f.value(2);
            if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size()) {
                std::fprintf(stderr, "cannot write %s\n", f[1].constData());
                return 2;
            }
            continue;
        } else if (command == "read" && f.size() == 4) {
            const QString value = kvr::readProfileString(text(cString(f[1])), text(cString(f[2])), text(cString(f[3])));
            out = "read " + f[1] + " [" + escaped(cString(f[2])) + "] " + escaped(cString(f[3])) + " -> " +
                  QByteArray::number(value.size()) + ' ' + escaped(ansi(value));
        } else if (command == "write" && f.size() == 5) {
            const bool ok = kvr::writeProfileString(text(cString(f[1])), text(cString(f[2])), text(cString(f[3])),
                                                    text(cString(f[4])));
            out = "write " + f[1] + " [" + escaped(cString(f[2])) + "] " + escaped(cString(f[3])) + " = " +
                  escaped(cString(f[4])) + " -> " + (ok ? "ok" : "refused");
        } else if (command == "dump" && f.size() == 2) {
            QFile file(QString::fromUtf8(f[1]));
            out = "dump " + f[1] + " -> " + (file.open(QIODevice::ReadOnly) ? escaped(file.readAll()) : "absent");
        } else {
            std::fprintf(stderr, "bad command: %s\n", command.constData());
            return 2;
        }
        std::fwrite(out.constData(), 1, size_t(out.size()), stdout);
        std::fputc('\n', stdout);
    }
    return 0;
}
