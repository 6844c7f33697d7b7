"""The splice recipe that keeps the most bytes of the installed archives.

The updater rebuilds an archive as: the payload's 16-byte head, a first kept
run from offset 16 of the installed archive, the payload's first run, a
second kept run taken skipOld bytes further on in the installed archive, and
the payload's tail, which starts at the new archive's index position P. So
P, and with it keepFirst + insertFirst + keepSecond, is fixed by the new
archive; what is chosen is keepFirst and where the second kept run lies in
the installed archive, its shift s = skipOld - insertFirst.

The first kept run is best as long as the new and installed archives agree
from offset 16 (the same for every s). For a shift s, the second kept run can
reach back from P as far as the two agree ending at P and P + s. The search
looks only at shifts where that run is longer than any recipe found so far
could use: it asks bytes.find for the last bytes of the new body, one more
than the best recipe's second run needs, within the installed archive, and
lengthens that needle whenever a better recipe is found. A shift skipped by
find cannot have a longer second run, so no shift that could win is passed
over, and each find runs at the speed of a memory search.
"""

import catalogue as cat

HEAD = cat.SPLICE_HEAD_SIZE


def agree(a, a_at, b, b_at, limit, backward=False):
    """How many bytes a and b agree for, from a_at and b_at on (back from them when backward), at most limit."""
    limit = max(0, min(limit, a_at, b_at) if backward else min(limit, len(a) - a_at, len(b) - b_at))

    def run(data, at, low, step):
        return data[at - low - step:at - low] if backward else data[at + low:at + low + step]

    low, step = 0, 1
    while low < limit:  # gallop, then halve
        step = min(step, limit - low)
        if run(a, a_at, low, step) == run(b, b_at, low, step):
            low += step
            step *= 2
        elif step == 1:
            break
        else:
            step //= 2
    return low


class NoRecipe(Exception):
    pass


def best_recipe(name, olds, news):
    """The recipe that turns each old archive into the new one of its line with one payload, keeping the most
    bytes; olds and news are the two lines' archives. Raises NoRecipe naming what does not fit."""
    size = len(news[0])
    if len(news[1]) != size:
        raise NoRecipe("%s: ver1.03's has %d bytes, ver1.03a's %d; one recipe makes one size"
                       % (name, size, len(news[1])))
    if any(len(old) == size for old in olds):
        raise NoRecipe("%s: ver1.00's or ver1.00a's already has the new size %d, which the updater leaves as it is"
                       % (name, size))
    if any(not n.startswith(cat.XP3_MAGIC) or len(n) < HEAD + 3 for n in news):
        raise NoRecipe("%s: ver1.03's or ver1.03a's is no XP3 archive" % name)
    index = int.from_bytes(news[0][len(cat.XP3_MAGIC):len(cat.XP3_MAGIC) + 8], "little")
    if not HEAD + 3 <= index <= size or news[0][:HEAD] != news[1][:HEAD] or news[0][index:] != news[1][index:]:
        raise NoRecipe("%s: ver1.03's and ver1.03a's differ in the head or from the index position on, which the"
                       " updater carries once for both" % name)
    body = index - HEAD
    first = min(agree(n, HEAD, o, HEAD, body) for n, o in zip(news, olds))
    shared = agree(news[0], HEAD + first, news[1], HEAD + first, body - first)
    low_shift, high_shift = -body, min(len(o) for o in olds) - index
    best = fit(news, first, body, 0, 0, shared) if high_shift >= 0 else None

    def kept(found):
        return -1 if found is None else found[0] + found[1]

    shift = low_shift  # the lowest shift not yet looked at
    while True:
        need = max(kept(best) - first, 0) + 1
        if need > body:
            break
        hit = olds[0].find(news[0][index - need:index], max(index - need + shift, 0), index + high_shift)
        if hit < 0:
            break
        shift = hit + need - index
        if shift >= low_shift:
            second = min(agree(n, index, o, index + shift, body, backward=True) for n, o in zip(news, olds))
            if min(first + second, body + min(shift, 0)) > kept(best):  # it could keep more
                found = fit(news, first, body, shift, second, shared)
                best = found if kept(found) > kept(best) else best
        shift += 1
    if best is None:
        raise NoRecipe("%s: no single recipe turns ver1.00's and ver1.00a's into their lines' new archive with one"
                       " payload" % name)
    keep_first, keep_second, shift = best
    insert_first = body - keep_first - keep_second
    return dict(finishedSize=size, keepFirst=keep_first, insertFirst=insert_first, skipOld=insert_first + shift,
                keepSecond=keep_second, insertTail=size - index)


def fit(news, first, body, shift, second, shared):
    """(keepFirst, keepSecond, shift) keeping the most bytes for that shift with a first payload run both lines
    share, or None; the lines agree for `shared` bytes after the longest first kept run. A shift below zero
    leaves at least -shift bytes to insert (skipOld cannot be negative)."""
    kept = min(first + second, body + min(shift, 0))
    middle = body - kept
    keep_first, lowest = min(first, kept), max(0, kept - second)
    while keep_first >= lowest:
        start = HEAD + keep_first
        if middle <= shared if keep_first == first else news[0][start:start + middle] == news[1][start:start + middle]:
            return keep_first, kept - keep_first, shift
        if keep_first == lowest:
            break
        # the payload run must end before the last byte where the lines differ
        keep_first = start - agree(news[0], start + middle, news[1], start + middle, middle, backward=True) - 1 - HEAD
    return None
