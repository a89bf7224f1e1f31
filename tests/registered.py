"""The operations talvo.runtime_async installed, read from the module itself (its one table, in
its order): where the tests take their lists of operations from."""

import inspect

import talvo.runtime_async as ra
from talvo.runtime_async import AsyncTalvo

OPERATION = type(vars(AsyncTalvo)["__init__"])  # the constructor is always one


def _unwrapped(value):
    return value.__func__ if isinstance(value, classmethod) else value  # create


def _is_async(name):
    op = _unwrapped(vars(AsyncTalvo)[name])
    return inspect.iscoroutinefunction(op) or inspect.isasyncgenfunction(op)


MODULE_FUNCTIONS = [name for name, value in vars(ra).items() if isinstance(value, OPERATION)]
CLASS_OPERATIONS = [
    name for name, value in vars(AsyncTalvo).items() if isinstance(_unwrapped(value), OPERATION)
]
ASYNC_OPERATIONS = [name for name in CLASS_OPERATIONS if _is_async(name)]
PLAIN_OPERATIONS = [name for name in CLASS_OPERATIONS if not _is_async(name)]
