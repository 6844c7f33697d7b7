"""A catalogue file's text with other numbers: its comments and layout kept, so that a maintainer reviews the
change as a diff of numbers."""

import ast

import catalogue as cat


def number_spots(node, value):
    """(node, new value) for every number or name of a catalogue value written as node, whose new value is value; a list
    whose length changes is one spot, written anew."""
    if isinstance(node, ast.Constant):
        return [(node, value)] if node.value != value else []
    if isinstance(node, ast.Dict):
        return [spot for key, item in zip(node.keys, node.values) for spot in number_spots(item, value[key.value])]
    if isinstance(node, ast.Call):  # dict(finishedSize=..., ...)
        return [spot for keyword in node.keywords for spot in number_spots(keyword.value, value[keyword.arg])]
    if isinstance(node, (ast.List, ast.Tuple)) and len(node.elts) == len(value):
        return [spot for item, part in zip(node.elts, value) for spot in number_spots(item, part)]
    if isinstance(node, ast.List):
        return [(node, value)]
    return []


def written(value, indent):
    if isinstance(value, str):
        return '"%s"' % value
    if not isinstance(value, list):
        return repr(value)
    return "[\n%s]" % "".join("%s    (%s),\n" % (indent, ", ".join(map(written, row, [indent] * len(row))))
                               for row in value)


def rewrite(text, facts):
    """text with the numbers of facts in place of its own; raises KeyError for a text not of a catalogue's form."""
    spots, found = [], set()
    for statement in ast.parse(text).body:
        if isinstance(statement, ast.Assign) and statement.targets[0].id in cat.FACTS:
            spots += number_spots(statement.value, facts[statement.targets[0].id])
            found.add(statement.targets[0].id)
    if found != set(cat.FACTS):
        raise KeyError(", ".join(sorted(set(cat.FACTS) - found)))
    lines = text.splitlines(keepends=True)
    for node, value in sorted(spots, key=lambda spot: (spot[0].lineno, spot[0].col_offset), reverse=True):
        first, last = lines[node.lineno - 1], lines[node.end_lineno - 1]
        indent = first[:len(first) - len(first.lstrip())]
        new = first[:node.col_offset] + written(value, indent) + last[node.end_col_offset:]
        old_comment, new_comment = (line.find("  #") for line in (last, new))
        if node.lineno == node.end_lineno and 0 < old_comment and 0 < new_comment != old_comment:
            new = new[:new_comment] + " " * max(2, old_comment - new_comment + 2) + new[new_comment + 2:].lstrip()
        lines[node.lineno - 1:node.end_lineno] = [new]
    return "".join(lines)
