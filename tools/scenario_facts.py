"""Reading scenario files and checking a run's report against the facts a
scenario expects. Shared by the simulator's end-to-end runner and the Wine
harness, so that both hold fwupdate to the same expectations."""
import json


def strip_comments(text):
    """JSON with // and /* */ comments, as the simulator accepts it, to
    plain JSON. Comment markers inside strings are left alone."""
    out = []
    i, n = 0, len(text)
    in_string = False
    while i < n:
        c = text[i]
        if in_string:
            out.append(c)
            if c == "\\" and i + 1 < n:
                out.append(text[i + 1])
                i += 2
                continue
            if c == '"':
                in_string = False
            i += 1
        elif c == '"':
            in_string = True
            out.append(c)
            i += 1
        elif text.startswith("//", i):
            while i < n and text[i] != "\n":
                i += 1
        elif text.startswith("/*", i):
            end = text.find("*/", i + 2)
            i = n if end < 0 else end + 2
        else:
            out.append(c)
            i += 1
    return "".join(out)


def load_scenario(text):
    return json.loads(strip_comments(text))


def lookup(report, dotted):
    value = report
    for part in dotted.split("."):
        if not isinstance(value, dict) or part not in value:
            raise KeyError(dotted)
        value = value[part]
    return value


def same_kind(a, b):
    # In Python True == 1; a report that says true where 1 is meant (or the
    # reverse) is a different fact.
    return isinstance(a, bool) == isinstance(b, bool)


def check_facts(expected, actual, report, path, problems):
    """Every expected fact must hold in the report: objects list only the
    keys that matter; {"min": a, "max": b} bounds a number; "=a.b" is the
    report's own value at a.b; an object with a check(actual, where,
    problems) method judges the value itself."""
    where = path or "(report)"
    if callable(getattr(expected, "check", None)):
        expected.check(actual, where, problems)
        return
    if isinstance(expected, str) and expected.startswith("="):
        try:
            expected = lookup(report, expected[1:])
        except KeyError:
            problems.append(f"{where}: the report has no {expected[1:]} to compare with")
            return
    if isinstance(expected, dict) and set(expected) <= {"min", "max"} and expected:
        if not isinstance(actual, int) or isinstance(actual, bool):
            problems.append(f"{where}: expected a number, the report says {json.dumps(actual)}")
            return
        if "min" in expected and actual < expected["min"]:
            problems.append(f"{where}: {actual} is below {expected['min']}")
        if "max" in expected and actual > expected["max"]:
            problems.append(f"{where}: {actual} is above {expected['max']}")
        return
    if isinstance(expected, dict):
        if not isinstance(actual, dict):
            problems.append(f"{where}: expected an object, the report says {json.dumps(actual)}")
            return
        for key, value in expected.items():
            child = f"{path}.{key}" if path else key
            if key not in actual:
                problems.append(f"{child}: missing from the report")
            else:
                check_facts(value, actual[key], report, child, problems)
        return
    if isinstance(expected, list):
        if not isinstance(actual, list) or len(actual) != len(expected):
            problems.append(f"{where}: expected {json.dumps(expected)}, the report says {json.dumps(actual)}")
            return
        for index, (e, a) in enumerate(zip(expected, actual)):
            check_facts(e, a, report, f"{path}[{index}]", problems)
        return
    if expected != actual or not same_kind(expected, actual):
        problems.append(f"{where}: expected {json.dumps(expected)}, the report says {json.dumps(actual)}")
