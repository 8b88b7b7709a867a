// Unpacking a skin package into the game folder through the unzip32 library.
//
// extract/ is the extraction library and its loader, the one reader of a ZIP's central directory
// (zip_members.h) that the package check, the report and the import share, and the observer
// through which an unpack tells its caller what it replaces or creates (unpack_observer.h). It
// includes app/ and nothing above it.
#pragma once

#include <QString>

#include <cstdint>

namespace kvr::Modulo {

// Loads the library from the program folder, unpacks every member of the package flat into the
// target folder, and ignores the outcome. Only a library that cannot be loaded is reported,
// as "Unzip: " and the loader's description.
void Unzip(const QString& packagePath, const QString& targetFolder);

// The library's print callback: discards the text.
int UNFuncionParaProcesarMensajes(char* text, uint32_t length);

// The library's password callback: never supplies a password.
int UNFuncionParaProcesarPassword(char* buffer, int size, const char* prompt, const char* member);

// Hands back the callback address it is given (pointer-sized on this platform).
std::uintptr_t DevolverDireccionMemoria(std::uintptr_t address);

// Where Unzip looks for the library.
QString unzipLibraryPath();

} // namespace kvr::Modulo
