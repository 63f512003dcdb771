"""run(): header, selection, driver, duration, summary; and interpret_results()."""

from __future__ import annotations

from types import SimpleNamespace

import pytest

from tests.builders import flags

RULE = "=" * 60


def scripted_task(module, nodes, *, fail_in_driver=None):
    """A ProfileTask whose selection, drivers and summary are stand-ins that record calls."""

    class Scripted(module.ProfileTask):
        calls: list

        def _get_selected_nodes(self):
            self.calls.append(("select",))
            return nodes

        def _profile_with_progress(self, given, result):
            return self._drive("rich", given, result)

        def _profile_without_progress(self, given, result):
            return self._drive("plain", given, result)

        def _drive(self, kind, given, result):
            self.calls.append((kind, given, result))
            if fail_in_driver is not None:
                raise fail_in_driver
            replaced = module.ProfileExecutionResult(tables_profiled=len(given))
            return replaced

        def _print_summary(self, result):
            self.calls.append(("summary", result, result.duration_ms))

    Scripted.calls = []
    return Scripted


@pytest.fixture
def clock(monkeypatch, profile_module):
    """Replaces the module's `time` with a clock that returns the readings given."""

    def install(*readings):
        ticks = iter(readings)
        monkeypatch.setattr(profile_module, "time", SimpleNamespace(time=lambda: next(ticks)))

    return install


def test_plain_header_and_run_sequence(make_task, profile_module, plain_output, capsys, clock):
    clock(1000.0, 1001.2345)
    cls = scripted_task(profile_module, ["a", "b"])
    task = make_task(flags(MODE="explorative", THREADS=4), cls=cls)
    result = task.run()

    assert capsys.readouterr().out.splitlines() == [
        "", RULE, "  ZEL Profile - Data Profiling", "  Mode: explorative | Threads: 4", RULE, "",
    ]
    (select,), (kind, nodes, initial), (summary, summarised, duration) = cls.calls
    assert (select, kind, nodes, summary) == ("select", "plain", ["a", "b"], "summary")
    assert initial == profile_module.ProfileExecutionResult()
    # run() goes on with the object the driver returned.
    assert summarised is result and result.tables_profiled == 2
    assert duration == result.duration_ms == 1234 and type(duration) is int


def test_rich_header_and_driver(make_task, profile_module, rich_console, clock):
    clock(5.0, 5.0004)
    cls = scripted_task(profile_module, ["n"])
    result = make_task(flags(MODE="sensitive", THREADS=2), cls=cls).run()
    text = rich_console.export_text()
    assert "ZEL Profile - Data Profiling" in text
    assert "Mode: sensitive  |  Threads: 2" in text
    assert "Vantry-style fast SQL profiling" in text
    assert "╔" in text and "╝" in text  # the double-line box
    assert text.startswith("\n")
    assert [c[0] for c in cls.calls] == ["select", "rich", "summary"]
    assert result.duration_ms == 0


def test_header_panel_arguments(make_task, profile_module, rich_console, monkeypatch):
    made = []

    def panel(*args, **kwargs):
        made.append((args, kwargs))
        return "PANEL"

    monkeypatch.setattr(profile_module, "Panel", panel)
    make_task(flags(THREADS=3), cls=scripted_task(profile_module, [])).run()
    (args, kwargs), = made
    assert args == ("[bold cyan]Mode:[/bold cyan] [yellow]explorative[/yellow]  |  "
                    "[bold cyan]Threads:[/bold cyan] [yellow]3[/yellow]",)
    assert list(kwargs) == ["title", "subtitle", "border_style", "box"]
    assert kwargs["title"] == "[bold magenta]ZEL Profile - Data Profiling[/bold magenta]"
    assert kwargs["subtitle"] == "[dim]Vantry-style fast SQL profiling[/dim]"
    assert kwargs["border_style"] == "magenta"
    assert kwargs["box"] is profile_module.box.DOUBLE


@pytest.mark.parametrize("nothing", [[], None])
def test_nothing_selected_plain(make_task, profile_module, plain_output, capsys, nothing):
    cls = scripted_task(profile_module, nothing)
    task = make_task(cls=cls)
    result = task.run()
    out = capsys.readouterr().out.splitlines()
    assert out[-1] == "No sources or models selected for profiling."
    assert out[:-1] == ["", RULE, "  ZEL Profile - Data Profiling",
                        "  Mode: explorative | Threads: 4", RULE, ""]
    assert result == profile_module.ProfileExecutionResult()
    assert cls.calls == [("select",)]
    assert task.interpret_results(result) is False


def test_nothing_selected_rich(make_task, profile_module, rich_console):
    make_task(cls=scripted_task(profile_module, [])).run()
    lines = rich_console.export_text().splitlines()
    assert lines[-2:] == [
        "No sources or models selected for profiling.",
        "Use --select to specify targets, e.g.: zel profile run --select 'source:*'",
    ]


def test_formatting_uses_each_values_own_format(make_task, profile_module, plain_output, capsys):
    class Mode:
        def __format__(self, spec):
            return f"<mode {spec!r}>"

    make_task(flags(MODE=Mode(), THREADS=2.5), cls=scripted_task(profile_module, [])).run()
    assert "  Mode: <mode ''> | Threads: 2.5" in capsys.readouterr().out.splitlines()


def test_driver_failure_propagates_without_duration_or_summary(make_task, profile_module,
                                                               plain_output):
    cls = scripted_task(profile_module, ["x"], fail_in_driver=KeyError("boom"))
    with pytest.raises(KeyError, match="boom"):
        make_task(cls=cls).run()
    assert [c[0] for c in cls.calls] == ["select", "plain"]


def test_run_takes_no_arguments(make_task):
    task = make_task()
    with pytest.raises(TypeError, match=r"^ProfileTask\.run\(\) takes 1 positional argument "
                                        r"but 2 were given$"):
        task.run(1)
    with pytest.raises(TypeError, match="unexpected keyword argument 'mode'"):
        task.run(mode="x")


def test_a_task_runs_twice(make_task, profile_module, plain_output, capsys):
    cls = scripted_task(profile_module, ["a"])
    task = make_task(cls=cls)
    first, second = task.run(), task.run()
    assert first is not second
    assert [c[0] for c in cls.calls].count("summary") == 2


def record(status):
    return SimpleNamespace(status=status)


NOT_STORED = ["raw.orders: profile results not stored"]


@pytest.mark.parametrize(
    "profiles, errors, verdict",
    [
        ([], [], False),
        ([record("error")], [], False),
        ([record("error"), record("error")], [], False),
        ([record("error"), record("success")], [], True),
        ([record("success"), record("error")], [], True),
        ([record("SUCCESS")], [], False),
        # Rows that were not stored are lost, whatever the tables did.
        ([record("success")], NOT_STORED, False),
        ([record("success"), record("success")], NOT_STORED, False),
    ],
)
def test_interpret_results(make_task, profiles, errors, verdict):
    outcome = make_task().interpret_results(SimpleNamespace(profiles=profiles, errors=errors))
    assert outcome is verdict


def test_interpret_results_stops_at_the_first_success(make_task):
    class Exploding:
        @property
        def status(self):
            raise AssertionError("read past the first success")

    assert make_task().interpret_results(
        SimpleNamespace(profiles=[record("success"), Exploding()], errors=[])) is True


@pytest.mark.parametrize("result", [SimpleNamespace(), SimpleNamespace(errors=[]),
                                    SimpleNamespace(errors=[], profiles=[object()])])
def test_interpret_results_needs_profiles_and_status(make_task, result):
    with pytest.raises(AttributeError):
        make_task().interpret_results(result=result)
