# SPDX-License-Identifier: BSD-2-Clause-Patent
"""The monitor's texts and the model of its interpreter, read from the model library of the host
build: the same model the host tests and the fuzzers use."""
import ctypes
import functools
import os

from . import BUILD


@functools.lru_cache(maxsize=None)
def _library():
    library = ctypes.CDLL(os.path.join(BUILD, "libtarnwick_model.so"))
    for name in ("tarnwick_model_answer", "tarnwick_model_greeting", "tarnwick_model_words"):
        getattr(library, name).restype = ctypes.c_char_p
    return library


def answer(line):
    """The rows the monitor answers a line with, and whether the line leaves."""
    leave = ctypes.c_int()
    text = _library().tarnwick_model_answer(line.encode(), ctypes.byref(leave))
    return text.decode().splitlines(), bool(leave.value)


def greeting():
    """The screen before the first key: banner, hint, an empty line, the prompt."""
    return _library().tarnwick_model_greeting().decode().split("\n")[:-1] + ["0 >"]


def words():
    return _library().tarnwick_model_words().decode().splitlines()
