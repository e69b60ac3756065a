# The two commands of the README, plus a few conveniences. Every target installs what it needs
# first (scripts/setup is idempotent and quick when everything is there).

.PHONY: demo test bench setup clean

demo: setup
	scripts/demo

test: setup
	scripts/run-tests

bench: setup
	scripts/run-bench

setup:
	scripts/setup

clean:
	rm -rf build
