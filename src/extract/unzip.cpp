#include "extract/unzip.h"

#include "app/logging.h"
#include "app/toolkit.h"
#include "extract/program_call.h"
#include "extract/unpack_observer.h"

#include <QFile>

#include <dlfcn.h>

namespace kvr::Modulo {

namespace {

// The loaded library for the length of one call.
class LoadedLibrary
{
public:
    explicit LoadedLibrary(const QString& path)
    {
        m_handle = ::dlopen(QFile::encodeName(path).constData(), RTLD_NOW | RTLD_LOCAL);
        if (!m_handle)
            throw Error(QString::fromLocal8Bit(::dlerror()));
    }
    ~LoadedLibrary() { ::dlclose(m_handle); }
    LoadedLibrary(const LoadedLibrary&) = delete;
    LoadedLibrary& operator=(const LoadedLibrary&) = delete;

    // Null when the library lacks it.
    void* optionalSymbol(const char* name) const { return ::dlsym(m_handle, name); }

    void* symbol(const char* name) const
    {
        ::dlerror();
        void* address = ::dlsym(m_handle, name);
        if (!address)
            throw Error(QString::fromLocal8Bit(::dlerror()));
        return address;
    }

private:
    void* m_handle = nullptr;
};

// The library's diagnostics, as lines of the extraction category.
void forwardLine(const char* line, void* /*context*/)
{
    qCInfo(lcExtract).noquote() << QString::fromUtf8(line);
}

// The change under way is told of each file the unpack replaces, before it is replaced, and of
// each name it creates or places.
int keepReplaced(const char* name, int replacing, void* /*context*/)
{
    UnpackObserver* observer = UnpackObserver::active();
    if (!observer)
        return 0;
    switch (replacing) {
    case 0:
        observer->noteCreated(QByteArray(name));
        break;
    case 2: // the member has its name: nothing to refuse any more
        observer->notePlaced(QByteArray(name));
        break;
    default:
        return observer->keepBeforeReplace(QByteArray(name)) ? 0 : 1;
    }
    return 0;
}

} // namespace

QString unzipLibraryPath()
{
    return programFolder() + QStringLiteral("/libunzip32.so");
}

void Unzip(const QString& packagePath, const QString& targetFolder)
{
    errorBlock("Unzip", [&] {
        USERFUNCTIONS callbacks{};
        callbacks.print = reinterpret_cast<DLLPRNT*>(
            DevolverDireccionMemoria(reinterpret_cast<std::uintptr_t>(&UNFuncionParaProcesarMensajes)));
        callbacks.password = reinterpret_cast<DLLPASSWORD*>(
            DevolverDireccionMemoria(reinterpret_cast<std::uintptr_t>(&UNFuncionParaProcesarPassword)));

        // The library receives 8-bit copies in the file system's encoding.
        QByteArray zipName = QFile::encodeName(packagePath);
        QByteArray extractDir = QFile::encodeName(targetFolder);
        ProgramCall call(zipName.data(), extractDir.data());

        const LoadedLibrary library(unzipLibraryPath());
        auto* entry = reinterpret_cast<Wiz_SingleEntryUnzipFn*>(library.symbol("Wiz_SingleEntryUnzip"));
        // The hook is an addition of ours: a library without it still does the unpacking.
        const bool logging = lcExtract().isInfoEnabled();
        auto* setLogHook = reinterpret_cast<Wiz_SetLogHookFn*>(library.optionalSymbol("Wiz_SetLogHook"));
        if (logging && setLogHook)
            setLogHook(&forwardLine, nullptr);
        auto* setReplaceHook = reinterpret_cast<Wiz_SetReplaceHookFn*>(library.optionalSymbol("Wiz_SetReplaceHook"));
        const bool keeping = setReplaceHook && UnpackObserver::active();
        if (keeping)
            setReplaceHook(&keepReplaced, nullptr);
        // The status is not acted on: what was unpacked is what the slot holds.
        const int status = call.call(entry, &callbacks);
        if (keeping)
            setReplaceHook(nullptr, nullptr);
        if (logging && setLogHook)
            setLogHook(nullptr, nullptr);
        qCInfo(lcExtract).noquote()
            << QStringLiteral("Unzip %1 into %2: status %3 (not acted on)").arg(packagePath, targetFolder).arg(status);
    });
}

// The two callbacks and the address helper do nothing that can fail, so their error blocks
// never have anything to report.
int UNFuncionParaProcesarMensajes(char* /*text*/, uint32_t /*length*/)
{
    return 0;
}

int UNFuncionParaProcesarPassword(char* /*buffer*/, int /*size*/, const char* /*prompt*/, const char* /*member*/)
{
    return 0;
}

std::uintptr_t DevolverDireccionMemoria(std::uintptr_t address)
{
    return address;
}

} // namespace kvr::Modulo
