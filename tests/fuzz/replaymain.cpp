// Runs a fuzz target over stored inputs (its seed corpus and the inputs of
// fixed findings) without libFuzzer, so every build, sanitizers included,
// replays them as a plain test.

#include <QDir>
#include <QFile>

#include <cstdint>
#include <cstdio>

extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv)
{
    if (LLVMFuzzerInitialize)
        LLVMFuzzerInitialize(&argc, &argv);
    int replayed = 0;
    for (int i = 1; i < argc; ++i) {
        const QDir dir(QString::fromLocal8Bit(argv[i]));
        for (const QString& name : dir.entryList(QDir::Files, QDir::Name)) {
            QFile file(dir.filePath(name));
            if (!file.open(QIODevice::ReadOnly)) {
                std::fprintf(stderr, "cannot read %s\n", qPrintable(file.fileName()));
                return 1;
            }
            const QByteArray input = file.readAll();
            std::fprintf(stderr, "replaying %s\n", qPrintable(file.fileName()));
            LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(input.constData()),
                                   size_t(input.size()));
            ++replayed;
        }
    }
    std::fprintf(stderr, "replayed %d inputs\n", replayed);
    return replayed > 0 ? 0 : 1;
}
