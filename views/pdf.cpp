#include "pdf.h"

#include "runtime/ui.h"
#include "store/textfile.h"

#include <QBuffer>
#include <QFileInfo>
#include <QMarginsF>
#include <QPageLayout>
#include <QPageSize>
#include <QPdfWriter>
#include <QTextDocument>

#include <cstdio>

bool WriteHtmlAsPdf(const std::string& html, const std::string& path, const std::string& title,
                    std::string& error) {
    QByteArray bytes;
    {
        // Laid out in memory first, then written through the atomic writer: a failed write keeps
        // whatever file was there.
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::WriteOnly);
        QPdfWriter writer(&buffer);
        writer.setPageSize(QPageSize(QPageSize::A4));
        writer.setPageMargins(QMarginsF(15, 15, 15, 15), QPageLayout::Millimeter);
        writer.setTitle(QString::fromStdString(title));
        writer.setCreator("ZEL-A-2X-Vavod");
        QTextDocument doc;
        doc.setHtml(QString::fromStdString(html));
        doc.print(&writer);
    }
    if (bytes.isEmpty()) {
        error = path + ": no PDF was laid out";
        return false;
    }
    std::string why;
    if (!WriteFileAtomic(
            path, std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size())),
            &why)) {
        error = path + ": cannot be written (" + why + ")";
        return false;
    }
    return true;
}

int ConvertHtmlFileToPdf(int argc, char** argv, const std::string& in, const std::string& out) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    if (InitCVIRTE(argc, argv) == 0) {
        std::fprintf(stderr, "zel-vavod: the run-time did not start\n");
        return 1;
    }
    std::string html;
    if (!ReadWholeFile(in, html)) {
        std::fprintf(stderr, "zel-vavod: %s: cannot be read\n", in.c_str());
        return 1;
    }
    std::string error;
    if (!WriteHtmlAsPdf(html, out,
                        QFileInfo(QString::fromStdString(in)).completeBaseName().toStdString(),
                        error)) {
        std::fprintf(stderr, "zel-vavod: %s\n", error.c_str());
        return 1;
    }
    return 0;
}
