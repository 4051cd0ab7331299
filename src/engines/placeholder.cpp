namespace engines {}
