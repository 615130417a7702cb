"""Error replies: a served callable that raises answers its caller and, with errors="reply", goes on serving."""
import multiprocessing
import sys

import pytest

import tidewell
from conftest import shm_exists
from helpers import WAIT, wait_for_name

NULL_FROM_FUNCTION = tidewell.tidewell._messages["null_from_function"]


def lookup(op, *args):
    if op == "get":
        return {"a": 1}[args[0]]
    if op == "unsupported":
        return object()
    if op == "long":
        raise ValueError("x" * args[0])
    if op == "interrupt":
        raise KeyboardInterrupt
    return args


def _serve(name, errors, results):
    try:
        results.put(("returned", tidewell.create_function(name, lookup, errors=errors)))
    except BaseException as exc:  # reported to the test, which asserts on it
        results.put(("raised", type(exc).__name__, str(exc)))


@pytest.fixture
def serve(name):
    started = []

    def start(errors):
        ctx = multiprocessing.get_context("fork")
        results = ctx.Queue()
        process = ctx.Process(target=_serve, args=(name, errors, results), daemon=True)
        sys.stdout.flush()
        sys.stderr.flush()
        process.start()
        started.append(process)
        wait_for_name(name)
        return process, results

    yield start
    for process in started:
        if process.is_alive():
            tidewell.remove_function(name)
        process.join(WAIT)
        if process.is_alive():
            process.kill()
            process.join(WAIT)


def test_remote_error_is_one_runtime_error_type():
    assert tidewell.RemoteError is tidewell.tidewell.RemoteError
    assert issubclass(tidewell.RemoteError, RuntimeError)


def test_reply_mode_answers_errors_and_keeps_serving(serve, name):
    process, _ = serve("reply")
    with pytest.raises(tidewell.RemoteError) as info:
        tidewell.call_function(name, ("get", "zz"))
    err = info.value
    assert str(err) == "KeyError: 'zz'"
    assert (err.remote_type, err.remote_message) == ("KeyError", "'zz'")
    assert "in lookup" in err.remote_traceback
    assert err.remote_traceback.rstrip().endswith("KeyError: 'zz'")

    with pytest.raises(tidewell.RemoteError) as info:
        tidewell.call_function(name, ("unsupported",))
    assert info.value.remote_type == "ValueError"
    assert info.value.remote_message == "Received an unsupported datatype."

    assert tidewell.call_function(name, ("get", "a")) == 1
    assert process.is_alive()


def test_long_error_text_is_cut_to_the_reply(serve, name):
    serve("reply")
    with pytest.raises(tidewell.RemoteError) as info:
        tidewell.call_function(name, ("long", 5000))
    err = info.value
    assert err.remote_type == "ValueError"
    assert 100 < len(err.remote_message) < 1024 and set(err.remote_message) == {"x"}
    assert err.remote_traceback.endswith("x\n")  # the end of a traceback is kept
    assert tidewell.call_function(name, ("echo", 1)) == (1,)


@pytest.mark.parametrize("errors", ["raise", "reply"])
def test_interrupt_in_the_callable_still_ends_serving(serve, name, errors):
    process, results = serve(errors)
    with pytest.raises(RuntimeError) as info:
        tidewell.call_function(name, ("interrupt",))
    assert type(info.value) is RuntimeError and str(info.value) == NULL_FROM_FUNCTION
    assert results.get(timeout=WAIT) == ("raised", "KeyboardInterrupt", "")
    process.join(WAIT)
    assert not shm_exists(name)


def test_default_mode_keeps_its_message_with_the_error_as_cause(serve, name):
    process, results = serve("raise")
    with pytest.raises(RuntimeError) as info:
        tidewell.call_function(name, ("get", "zz"))
    assert type(info.value) is RuntimeError and str(info.value) == NULL_FROM_FUNCTION
    cause = info.value.__cause__
    assert isinstance(cause, tidewell.RemoteError) and str(cause) == "KeyError: 'zz'"
    assert results.get(timeout=WAIT) == ("raised", "KeyError", "'zz'")
    process.join(WAIT)
    assert not shm_exists(name)


@pytest.mark.parametrize("errors", ["ignore", "", 1, b"reply", None])
def test_invalid_errors_value_is_refused(name, errors):
    with pytest.raises(ValueError, match="errors must be 'raise' or 'reply'"):
        tidewell.create_function(name, lookup, errors=errors)
    assert not shm_exists(name)
