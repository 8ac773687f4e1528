#include "evaluation/answer.h"

#include "maps/grey_map.h"
#include "search/gain_fit.h"
#include "search/indexed_search.h"
#include "search/search_strategy.h"
#include "search/window_compare.h"

#include <QFileInfo>
#include <QImageReader>

#include <cmath>
#include <limits>

QString found_image_file(const QString &folder, const QString &name, const QString &suffix)
{
    // Files are tried by name rather than by listing the folder, which may hold a million.
    static const QStringList suffixes = [] {
        QStringList all;
        for (const QByteArray &format : QImageReader::supportedImageFormats()) {
            all << QString::fromLatin1(format).toLower();
        }
        all.sort();
        all.removeDuplicates();
        QStringList both;
        for (const QString &one : all) {
            both << one << one.toUpper();
        }
        return both;
    }();
    const QString stem = folder + "/" + name + ".";
    if (QFileInfo(stem + suffix).isFile()) {
        return stem + suffix;
    }
    for (const QString &other : suffixes) {
        if (other != suffix && QFileInfo(stem + other).isFile()) {
            return stem + other;
        }
    }
    return QString();
}

QString verdict_text(Verdict verdict)
{
    switch (verdict) {
    case Verdict::found:
        return QStringLiteral("found");
    case Verdict::ambiguous:
        return QStringLiteral("ambiguous");
    case Verdict::no_cells:
        return QStringLiteral("no cells");
    case Verdict::no_window:
        return QStringLiteral("no window");
    case Verdict::exact:
        return QStringLiteral("exact");
    case Verdict::not_found:
        return QStringLiteral("not found");
    case Verdict::too_small:
        return QStringLiteral("too small");
    }
    return QString();
}

std::optional<double> Answer::ratio() const
{
    if (!best || !runner_up) {
        return std::nullopt;
    }
    if (best->score == 0) {
        return runner_up->score == 0 ? 1.0 : std::numeric_limits<double>::infinity();
    }
    return double(runner_up->score) / double(best->score);
}

double Answer::runner_up_reach() const
{
    return ::runner_up_reach(mode);
}

namespace {

Answer common_answer(const PatternPick &pick, const QString &file, QSize size,
                     const QString &database_folder, SearchMode mode)
{
    Answer answer;
    answer.mode = mode;
    answer.file = file;
    answer.base_name = pick.pattern_name;
    answer.pattern_size = size;
    answer.picked_name = pick.picked_name();
    answer.best = pick.best;
    answer.runner_up = pick.runner_up;
    answer.other_images = pick.other_images;
    answer.map_size = QSize(pick.map_width, pick.map_height);
    answer.found = pick.found;
    answer.phase = pick.phase;
    answer.magnitude = pick.magnitude;
    if (pick.best) {
        answer.found_image =
            found_image_file(database_folder, pick.best->name, QFileInfo(file).suffix());
    }
    return answer;
}

} // namespace

Answer literal_answer(const PatternPick &pick, const QString &file, QSize size,
                      const WindowSettings &settings, const QString &database_folder)
{
    Answer answer = common_answer(pick, file, size, database_folder, SearchMode::literal);
    if (pick.best && pick.corner) {
        answer.crop = QRect(*pick.corner, size);
        answer.located = true;
    } else if (pick.best) {
        const int step = settings.step();
        answer.crop = QRect(pick.best->x * step, pick.best->y * step, size.width(), size.height());
        answer.tolerance = step;
    }
    if (pick.map_width <= 0 || pick.map_height <= 0) {
        answer.verdict = Verdict::no_cells;
    } else if (!pick.best) {
        answer.verdict = Verdict::no_window;
    } else if (pick.runner_up || !(pick.best->score < cut_off_score)) {
        answer.verdict = Verdict::ambiguous;
    } else {
        answer.verdict = Verdict::found;
    }
    return answer;
}

namespace {

// Exact when no other image's window is as close too; else found when close and no rival is
// near; ambiguous when close with one; not found when not close.
Verdict graded(bool exact, bool close, bool rival)
{
    return exact   ? Verdict::exact
           : close ? (rival ? Verdict::ambiguous : Verdict::found)
                   : Verdict::not_found;
}

// The crop of a pick on a grid phase: its corner is exact.
void place_crop(Answer &answer, const PatternPick &pick, QSize size, const WindowSettings &settings)
{
    const int step = settings.step();
    const QSize shown = pick.scale == 1 ? size
                                        : QSize(int(std::lround(size.width() / pick.scale)),
                                                int(std::lround(size.height() / pick.scale)));
    // A crop found turned back is searched by its middle part: the margins about it, at the
    // image's scale.
    QPoint margin;
    if (pick.angle != 0) {
        const QSize inner = turned_inner_size(size, pick.angle);
        margin = QPoint(int(std::lround((size.width() - inner.width()) / (2 * pick.scale))),
                        int(std::lround((size.height() - inner.height()) / (2 * pick.scale))));
    }
    answer.crop =
        QRect(pick.best->x * step - pick.phase.x() - margin.x(),
              pick.best->y * step - pick.phase.y() - margin.y(), shown.width(), shown.height());
    answer.tolerance = 0;
    answer.scale = pick.scale;
    answer.angle = pick.angle;
}

} // namespace

Answer aligned_answer(const PatternPick &pick, const QString &file, QSize size,
                      const WindowSettings &settings, const QString &database_folder)
{
    Answer answer = common_answer(pick, file, size, database_folder, SearchMode::aligned);
    if (!pick.any_cells) {
        answer.verdict = Verdict::too_small;
        return answer;
    }
    if (!pick.best) {
        answer.verdict = Verdict::no_window;
        return answer;
    }
    place_crop(answer, pick, size, settings);
    const double score = pick.best->score;
    const double residual = exact_share * pick.magnitude;
    const qint64 cells = answer.cells();
    const bool exact = score <= residual && cells >= exact_cells;
    const bool close = score <= found_share * pick.magnitude && cells >= found_cells;
    const bool rival =
        pick.runner_up && (double(pick.runner_up->score) <= answer.runner_up_reach() * score ||
                           double(pick.runner_up->score) <= residual);
    answer.verdict = graded(exact && !(pick.runner_up && double(pick.runner_up->score) <= residual),
                            close || exact, rival);
    return answer;
}

Answer indexed_answer(const PatternPick &pick, const QString &file, QSize size,
                      const WindowSettings &settings, const QString &database_folder)
{
    if (pick.picked_by != PickedBy::votes) {
        Answer answer = aligned_answer(pick, file, size, settings, database_folder);
        answer.mode = SearchMode::indexed;
        answer.picked_by = pick.picked_by;
        return answer;
    }
    Answer answer = common_answer(pick, file, size, database_folder, SearchMode::indexed);
    answer.picked_by = pick.picked_by;
    answer.votes = pick.votes;
    answer.unrelated = pick.unrelated;
    answer.unrelated_median = pick.unrelated_median;
    answer.fitted_score = pick.fitted_score;
    answer.gain = pick.gain;
    if (!pick.any_cells) {
        answer.verdict = Verdict::too_small;
        return answer;
    }
    if (!pick.best) {
        answer.verdict = Verdict::not_found;
        return answer;
    }
    place_crop(answer, pick, size, settings);
    const double score = pick.best->score;
    const double residual = exact_share * pick.magnitude;
    const qint64 cells = answer.cells();
    // A crop with next to no texture matches every flat window, to the rounding too.
    const bool flat = pick.magnitude < indexed_least_texture * double(cells);
    const bool exact = score <= residual && cells >= exact_cells && !flat;
    // A pick among many scales must stand out further: many scales give a crop of another
    // image more chances; and so must a pattern of a few cells, which some window of a large
    // database fits by chance.
    const bool rescaled = pick.scale != 1 || pick.angle != 0 || cells < indexed_few_cells;
    const bool lone = rescaled && pick.unrelated == 0;
    // Whether the pick's window is close and stands out, by the system's scores or by the
    // scores with the pattern's contrast fitted to every window (a brightened crop).
    // The pattern's cells scaled by a gain sum to the gain times its magnitude.
    auto clear = [&](double best, double runner_up, double median, double gain) {
        const double magnitude = gain * pick.magnitude;
        return best <= indexed_found_share * magnitude && cells >= found_cells && !flat &&
               stands_out(best, magnitude, pick.runner_up ? &runner_up : nullptr, pick.unrelated,
                          median) &&
               !(rescaled && !lone && best >= indexed_rescaled_unrelated * median);
    };
    const double runner_up = pick.runner_up ? double(pick.runner_up->score) : 0;
    const bool close = score <= indexed_found_share * pick.magnitude && cells >= found_cells;
    // A gain at a bound fits the pattern to a window flatter or steeper than any change of
    // contrast makes it: a crop of another image.
    const bool fitted_clear =
        pick.gain > least_gain && pick.gain < most_gain &&
        clear(pick.fitted_score, pick.runner_up_fitted, pick.unrelated_fitted_median, pick.gain);
    answer.verdict = graded(exact && !(pick.runner_up && double(pick.runner_up->score) <= residual),
                            close || exact || fitted_clear,
                            !(clear(score, runner_up, pick.unrelated_median, 1) || fitted_clear));
    return answer;
}

Answer answer_of(SearchMode mode, const PatternPick &pick, const QString &file, QSize size,
                 const WindowSettings &search_settings, const QString &database_folder)
{
    if (pick.radius > 0) {
        const WindowSettings own{pick.radius, pick.step_divisor};
        PatternPick plain = pick;
        plain.radius = 0;
        Answer answer = answer_of(mode, plain, file, size, own, database_folder);
        answer.radius = pick.radius;
        return answer;
    }
    const WindowSettings &settings = search_settings;
    switch (mode) {
    case SearchMode::literal:
        return literal_answer(pick, file, size, settings, database_folder);
    case SearchMode::aligned:
        return aligned_answer(pick, file, size, settings, database_folder);
    case SearchMode::indexed:
        return indexed_answer(pick, file, size, settings, database_folder);
    }
    return literal_answer(pick, file, size, settings, database_folder);
}

QString mode_text(SearchMode mode)
{
    switch (mode) {
    case SearchMode::literal:
        return QStringLiteral("literal");
    case SearchMode::aligned:
        return QStringLiteral("aligned");
    case SearchMode::indexed:
        return QStringLiteral("indexed");
    }
    return QString();
}

std::optional<SearchMode> mode_named(const QString &text)
{
    for (SearchMode mode : {SearchMode::literal, SearchMode::aligned, SearchMode::indexed}) {
        if (text == mode_text(mode)) {
            return mode;
        }
    }
    return std::nullopt;
}

namespace {

QString number(double value)
{
    return QString::number(value, 'g', 6);
}

QString crop_text(const QRect &crop)
{
    return QString("x %1, y %2, %3 x %4 pixels")
        .arg(crop.x())
        .arg(crop.y())
        .arg(crop.width())
        .arg(crop.height());
}

QString runner_up_text(const Answer &answer)
{
    if (answer.runner_up) {
        const double ratio = *answer.ratio();
        return QString("%1, score %2 (%3 times the best)")
            .arg(answer.runner_up->name, number(answer.runner_up->score),
                 std::isinf(ratio) ? QString("infinitely many") : number(ratio));
    }
    if (answer.picked_by == PickedBy::votes) {
        return QString("none among the windows the index named");
    }
    return answer.other_images
               ? QString("none within %1 times the best").arg(answer.runner_up_reach())
               : QString("no other image");
}

} // namespace

QString answer_line(const Answer &answer)
{
    QString text = QString("%1 (%2)").arg(answer.picked_name.isEmpty() ? "-" : answer.picked_name,
                                          verdict_text(answer.verdict));
    if (answer.verdict == Verdict::no_cells || answer.verdict == Verdict::too_small) {
        return text + ": the pattern is too small for the window";
    }
    if (!answer.best) {
        return text + (answer.verdict == Verdict::not_found
                           ? QString(": the index named no window of any image for it")
                           : QString(": the pattern is larger than every database image"));
    }
    text += ": crop " + crop_text(answer.crop);
    if (answer.tolerance > 0) {
        text += QString(" (within %1)").arg(answer.tolerance);
    }
    return text + "; runner-up " + runner_up_text(answer);
}

QString crop_changes(const Answer &answer)
{
    QStringList changes;
    if (answer.scale != 1) {
        changes << QString("is %1 times its size").arg(number(answer.scale));
    }
    if (answer.angle != 0) {
        changes << QString("shows it turned by %1 degrees").arg(number(answer.angle));
    }
    return changes.join(" and ");
}

QString answer_block(const Answer &answer)
{
    QString text = QString("answer: %1 (%2)\n")
                       .arg(answer.picked_name.isEmpty() ? "-" : answer.picked_name,
                            verdict_text(answer.verdict));
    auto line = [&text](const char *label, const QString &value) {
        text += QString("  %1%2\n").arg(QString(label).leftJustified(12)).arg(value);
    };
    if (answer.verdict == Verdict::no_cells || answer.verdict == Verdict::too_small) {
        line("pattern", QString("%1 x %2 pixels give no cells: too small for the window")
                            .arg(answer.pattern_size.width())
                            .arg(answer.pattern_size.height()));
        return text;
    }
    if (!answer.best) {
        line("pattern", QString(answer.verdict == Verdict::not_found
                                    ? "%1 x %2 cells: the index named no window of any map for it"
                                    : "%1 x %2 cells: larger than every database map")
                            .arg(answer.map_size.width())
                            .arg(answer.map_size.height()));
        return text;
    }
    line("image", answer.found_image.isEmpty()
                      ? QString("not in database/ under %1.%2 nor another image suffix")
                            .arg(answer.picked_name, QFileInfo(answer.file).suffix())
                      : answer.found_image);
    QString where = crop_text(answer.crop);
    const QString changes = crop_changes(answer);
    if (answer.tolerance > 0) {
        where += QString(" (corner within %1 pixels: the grid's step)").arg(answer.tolerance);
    } else if (!changes.isEmpty()) {
        where += QString(" (the crop %1)").arg(changes);
    } else if (answer.located) {
        where += QString(" (located over every grid phase near the cell)");
    } else {
        where += QString(" (grid phase %1, %2)").arg(answer.phase.x()).arg(answer.phase.y());
    }
    line("crop", where);
    line("score", QString("%1 over %2 cells (%3 x %4), at cell %5, %6")
                      .arg(number(answer.best->score))
                      .arg(answer.cells())
                      .arg(answer.map_size.width())
                      .arg(answer.map_size.height())
                      .arg(answer.best->x)
                      .arg(answer.best->y));
    if (answer.radius > 0) {
        line("radius", QString("%1: among the maps of the database at that radius, where the "
                               "pattern has more cells")
                           .arg(answer.radius));
    }
    line("runner-up", runner_up_text(answer));
    if (answer.picked_by == PickedBy::votes) {
        line("found by", QString("the index: %1 votes, %2 other images' windows scored (median "
                                 "%3); not compared with every window")
                             .arg(answer.votes)
                             .arg(answer.unrelated)
                             .arg(number(answer.unrelated_median)));
        line("contrast", QString("%1 with the pattern's contrast times %2")
                             .arg(number(answer.fitted_score))
                             .arg(number(answer.gain)));
    } else if (answer.picked_by == PickedBy::exact) {
        line("found by", QString("the cell index: an exact match, the lowest of all windows"));
    }
    return text;
}
