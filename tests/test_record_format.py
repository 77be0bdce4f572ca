"""The record as data (quorvane.record): strict JSON, with no NaN or Infinity
token ever written, and the data it is written from left as it was."""
import json
import math

import pytest

from quorvane.record import strict_json

NAN, INF = float("nan"), float("inf")


@pytest.mark.parametrize("data,text", [
    ({"a": 1.5, "b": [1, "x", None, True]}, '{"a": 1.5, "b": [1, "x", null, true]}'),
    ({"busbw_gbps": NAN, "rows": [{"t": INF}, {"t": -INF}], "pair": (1.0, NAN)},
     '{"busbw_gbps": null, "rows": [{"t": null}, {"t": null}], "pair": [1.0, null]}'),
    ([NAN], "[null]"),
])
def test_strict_json_writes_null_for_what_json_cannot_hold(data, text):
    before = repr(data)
    written = strict_json(data)
    assert written == text + "\n" and json.loads(written) == json.loads(text)
    assert repr(data) == before   # nothing replaced in the caller's data


def test_strict_json_is_what_the_standard_encoder_writes():
    record = {"hosts": [f"h{i}" for i in range(50)], "busbw": [math.pi * i for i in range(50)],
              "nested": {"é": "ü", "quote": '"\\', "control": "\x01"}}
    assert strict_json(record) == json.dumps(record) + "\n"
