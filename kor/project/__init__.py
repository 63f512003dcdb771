"""Loading a project folder into its configuration and graph."""
