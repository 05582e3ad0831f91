#pragma once

#include <QByteArray>
#include <QImage>

// Decodes a JPEG picture with libjpeg; a null image when the data is not one.
QImage DecodeJpeg(const QByteArray &data);

// The maker's logo, kept in the program's resources.
QImage LogoImage();
