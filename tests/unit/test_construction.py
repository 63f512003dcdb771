"""Building a ProfileTask from the command's flags."""

from __future__ import annotations

import pytest

from tests.builders import flags


@pytest.mark.parametrize(
    "given, mode, threads",
    [
        ({}, "explorative", 4),
        ({"MODE": None, "THREADS": None}, "explorative", 4),
        ({"MODE": "", "THREADS": 0}, "explorative", 4),
        ({"MODE": False}, "explorative", 4),
        ({"MODE": "sensitive", "THREADS": 8}, "sensitive", 8),
        ({"MODE": "minimal"}, "minimal", 4),
        ({"MODE": "anything else", "THREADS": "2"}, "anything else", "2"),
    ],
)
def test_mode_and_threads_from_flags(make_task, given, mode, threads):
    task = make_task(flags(**given))
    assert task.profile_mode == mode
    assert task._threads == threads
    assert type(task._threads) is type(threads)


def test_arguments_are_kept_unchanged(profile_module, runtime_config):
    args, graph = flags(MODE="minimal"), object()
    task = profile_module.ProfileTask(flags=args, runtime_config=runtime_config, manifest=graph)
    assert task.args is args and task.runtime_config is runtime_config and task.manifest is graph


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda cls: cls(1, 2),
         "ProfileTask.__init__() missing 1 required positional argument: 'manifest'"),
        (lambda cls: cls(),
         "ProfileTask.__init__() missing 3 required positional arguments: 'flags', "
         "'runtime_config', and 'manifest'"),
        (lambda cls: cls(1, 2, 3, 4),
         "ProfileTask.__init__() takes 4 positional arguments but 5 were given"),
        (lambda cls: cls(1, 2, 3, extra=4),
         "ProfileTask.__init__() got an unexpected keyword argument 'extra'"),
        (lambda cls: cls(1, 2, 3, flags=4),
         "ProfileTask.__init__() got multiple values for argument 'flags'"),
    ],
)
def test_wrong_arguments(profile_module, call, message):
    with pytest.raises(TypeError) as caught:
        call(profile_module.ProfileTask)
    assert str(caught.value) == message


def test_base_initializer_runs_through_super(profile_module, runtime_config):
    seen = []

    class Mixin(profile_module.BaseTask):
        def __init__(self, args, *more):
            seen.append((args, more))
            super().__init__(args)

    # super() follows the instance's MRO: Combined, ProfileTask, Mixin, BaseTask.
    class Combined(profile_module.ProfileTask, Mixin):
        pass

    args = flags(MODE="x")
    task = Combined(args, runtime_config, None)
    assert seen == [(args, ())]
    assert task.args is args and task.profile_mode == "x"


def test_failures_of_the_base_initializer_propagate(profile_module, runtime_config, monkeypatch):
    def broken(self, args):
        raise ValueError("base refused")

    monkeypatch.setattr(profile_module.BaseTask, "__init__", broken)
    with pytest.raises(ValueError, match="base refused"):
        profile_module.ProfileTask(flags(), runtime_config, None)


def test_missing_args_attribute_propagates(profile_module, runtime_config, monkeypatch):
    monkeypatch.setattr(profile_module.BaseTask, "__init__", lambda self, args: None)
    task = profile_module.ProfileTask.__new__(profile_module.ProfileTask)
    with pytest.raises(AttributeError, match="args"):
        task.__init__(flags(), runtime_config, "graph")
    assert task.runtime_config is runtime_config and task.manifest == "graph"
    assert not hasattr(task, "profile_mode")
