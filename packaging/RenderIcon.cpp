// Writes the program's icon as PNG files at the sizes asked for, rendered
// exactly as the window renders it: render_icon <out.png> <size> ...
#include "AppIcon.h"

#include <QImage>
#include <cstdio>
#include <cstdlib>

int main(int argc, char *argv[])
{
    if (argc < 3 || argc % 2 == 0) {
        std::fprintf(stderr, "usage: %s <out.png> <size> [<out.png> <size> ...]\n", argv[0]);
        return 2;
    }
    for (int i = 1; i + 1 < argc; i += 2) {
        const int size = std::atoi(argv[i + 1]);
        const QImage image = renderAppIcon(size);
        if (size <= 0 || image.isNull() || !image.save(QString::fromLocal8Bit(argv[i]), "PNG")) {
            std::fprintf(stderr, "%s: could not write %s\n", argv[0], argv[i]);
            return 1;
        }
    }
    return 0;
}
