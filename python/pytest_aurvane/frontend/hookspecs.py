"""The node hooks of pytest-xdist, declared here for runs where pytest-xdist is not installed.

Plugins written for ``-n`` implement them (pytest-cov, pytest-rerunfailures),
and the front end calls them as pytest-xdist's controller would. The
signatures must stay those of pytest-xdist.
"""

import pytest


@pytest.hookspec()
def pytest_xdist_setupnodes(config, specs):
    """Called before any worker is started."""


@pytest.hookspec()
def pytest_configure_node(node):
    """Fill ``node.workerinput`` before the worker starts; the worker sees it as ``config.workerinput``."""


@pytest.hookspec()
def pytest_testnodeready(node):
    """A worker has started and collected."""


@pytest.hookspec()
def pytest_testnodedown(node, error):
    """A worker has ended; ``node.workeroutput`` holds its ``config.workeroutput`` when it ended cleanly."""


@pytest.hookspec()
def pytest_xdist_node_collection_finished(node, ids):
    """A worker has collected the tests named by ``ids``."""


@pytest.hookspec(firstresult=True)
def pytest_xdist_auto_num_workers(config):
    """The number of workers for ``--aurvane=auto``."""
