#include "ui/qt/text_codec.h"

#include <QStringDecoder>

QString textFromBytes(const std::string& text) {
    const QByteArrayView bytes(text.data(), static_cast<qsizetype>(text.size()));
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString decoded = utf8.decode(bytes);
    if (!utf8.hasError())
        return decoded;
    return QString::fromLatin1(bytes);
}

std::string bytesFromText(const QString& text, const std::string& shown) {
    if (!shown.empty() && text == textFromBytes(shown))
        return shown;
    return text.toUtf8().toStdString();
}
