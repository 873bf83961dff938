"""A run the test runner could not finish is a failed run, whatever pytest-xdist says.

When a worker meets an error of its own (a report it cannot send to the controller, such as one
holding a lone surrogate), pytest-xdist prints it as an INTERNALERROR, drops that worker's results
and ends the session with status 0 and "no tests ran". Here such an error turns the status into
INTERNAL_ERROR (3) and says under the summary that the list of failures is incomplete."""

import pytest

_COUNTED = (pytest.ExitCode.OK, pytest.ExitCode.TESTS_FAILED, pytest.ExitCode.NO_TESTS_COLLECTED)


class RunnerErrors:
    def __init__(self):
        self.seen = 0

    def pytest_internalerror(self, excrepr, excinfo):
        self.seen += 1

    @pytest.hookimpl(trylast=True)
    def pytest_sessionfinish(self, session):
        if self.seen and session.exitstatus in _COUNTED:
            session.exitstatus = pytest.ExitCode.INTERNAL_ERROR

    def pytest_terminal_summary(self, terminalreporter):
        if self.seen:
            terminalreporter.write_line(
                "the test runner failed %d time(s) (INTERNALERROR above): the run counts as failed "
                "and its list of failures is incomplete" % self.seen, red=True, bold=True)


def pytest_configure(config):
    config.pluginmanager.register(RunnerErrors(), "panekit-runner-errors")
