#pragma once
// Records of ".ft1" database files. A record is a header line (base name, image width, image
// height, map width, map height, each followed by ";"), one line per map row from the top down
// with each value followed by ";" (empty lines when the map has no columns), and the line
// "EOR". Text is in the system locale's encoding; lines end with "\n".

#include "maps/feature_map.h"

#include <QByteArray>
#include <QString>

// Why a name cannot be stored as the first field of a header line, or an empty string when it
// can: a ";" or a line break would split the record, and "EOR" would end it.
QString ft1_name_problem(const QString &name);

// The name in the system locale's encoding, as the database text holds it.
QByteArray encode_ft1_name(const QString &name);

void append_ft1_record(QByteArray &out, const QByteArray &encoded_name, int image_width,
                       int image_height, const FeatureMap &descriptor);
