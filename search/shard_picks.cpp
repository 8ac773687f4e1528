#include "search/shard_picks.h"

#include "search/window_compare.h"

#include <QDataStream>
#include <QIODevice>

namespace {

void put(QDataStream &out, const std::optional<MatchCandidate> &window)
{
    out << bool(window);
    if (window) {
        out << qint32(window->x) << qint32(window->y) << window->score << window->name
            << qint32(window->map);
    }
}

std::optional<MatchCandidate> take(QDataStream &in)
{
    bool present = false;
    in >> present;
    if (!present) {
        return std::nullopt;
    }
    MatchCandidate window;
    qint32 x = 0;
    qint32 y = 0;
    qint32 map = 0;
    in >> x >> y >> window.score >> window.name >> map;
    window.x = x;
    window.y = y;
    window.map = map;
    return window;
}

} // namespace

QByteArray pack_picks(const QList<PatternPick> &picks)
{
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out.setFloatingPointPrecision(QDataStream::SinglePrecision);
    for (const PatternPick &pick : picks) {
        put(out, pick.best);
        put(out, pick.runner_up);
        out << pick.other_images << qint32(pick.map_width) << qint32(pick.map_height) << pick.phase
            << pick.any_cells;
        // The magnitude is a double: written at its full precision.
        out.setFloatingPointPrecision(QDataStream::DoublePrecision);
        out << pick.magnitude << qint32(pick.picked_by) << qint32(pick.votes)
            << qint32(pick.unrelated) << pick.unrelated_median << pick.scale << pick.fitted_score
            << pick.gain << pick.runner_up_fitted << pick.unrelated_fitted_median << pick.angle;
        out.setFloatingPointPrecision(QDataStream::SinglePrecision);
    }
    return bytes;
}

std::optional<QList<PatternPick>> unpack_picks(const QByteArray &bytes, int count)
{
    QDataStream in(bytes);
    in.setFloatingPointPrecision(QDataStream::SinglePrecision);
    QList<PatternPick> picks;
    for (int k = 0; k < count; ++k) {
        PatternPick pick;
        pick.best = take(in);
        pick.runner_up = take(in);
        qint32 width = 0;
        qint32 height = 0;
        in >> pick.other_images >> width >> height >> pick.phase >> pick.any_cells;
        in.setFloatingPointPrecision(QDataStream::DoublePrecision);
        qint32 picked_by = 0;
        qint32 votes = 0;
        qint32 unrelated = 0;
        in >> pick.magnitude >> picked_by >> votes >> unrelated >> pick.unrelated_median >>
            pick.scale >> pick.fitted_score >> pick.gain >> pick.runner_up_fitted >>
            pick.unrelated_fitted_median >> pick.angle;
        in.setFloatingPointPrecision(QDataStream::SinglePrecision);
        pick.picked_by = picked_by == qint32(PickedBy::exact)   ? PickedBy::exact
                         : picked_by == qint32(PickedBy::votes) ? PickedBy::votes
                                                                : PickedBy::search;
        pick.votes = votes;
        pick.unrelated = unrelated;
        pick.map_width = width;
        pick.map_height = height;
        picks.append(pick);
    }
    if (in.status() != QDataStream::Ok || !in.atEnd()) {
        return std::nullopt;
    }
    return picks;
}

int earliest_best(const QList<std::optional<MatchCandidate>> &windows)
{
    int first = -1;
    int best = -1;
    for (int k = 0; k < windows.size(); ++k) {
        const std::optional<MatchCandidate> &window = windows[k];
        if (!window) {
            continue;
        }
        if (first < 0) {
            first = k;
        }
        if (window->score < no_best_score && (best < 0 || window->score < windows[best]->score)) {
            best = k;
        }
    }
    return best >= 0 ? best : first;
}

int earliest_lowest(const QList<std::optional<MatchCandidate>> &windows)
{
    int lowest = -1;
    for (int k = 0; k < windows.size(); ++k) {
        if (windows[k] && (lowest < 0 || windows[k]->score < windows[lowest]->score)) {
            lowest = k;
        }
    }
    return lowest;
}
